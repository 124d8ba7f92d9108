// Reads from LMDB that a damaged data.mdb can't turn into a crash.
//
// LMDB 0.9 trusts the page numbers, offsets and sizes inside the pages it
// has mapped: one flipped byte in a page header or a node's offset sends a
// lookup outside the page, where the process dies of SIGSEGV or SIGBUS, or
// into one of LMDB's assertions, which aborts. Checking every page before
// LMDB touches it would cost a walk of the tree per lookup; instead each
// read below runs under a guard that turns such a fault into the error
// MDB_CORRUPTED, which callers report as damage like any other. A sound
// catalog pays one register save per read.
//
// The guard catches faults only within the LMDB call it wraps (and its
// check that the key and value it returns lie in readable memory); a fault
// anywhere else reaches the handlers that were installed before, as if the
// guard were not there. Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_LMDB_GUARD_H_
#define PLIM_PLATFORM_CATALOG_LMDB_LMDB_GUARD_H_

#include <lmdb.h>

namespace plim::catalog {

// Installs the process's SIGSEGV and SIGBUS handlers (once; thread-safe) and
// `env`'s assertion callback. Call before the first guarded read of `env`.
void GuardLmdbReads(MDB_env* env);

// mdb_get, mdb_cursor_get and mdb_dbi_open, returning MDB_CORRUPTED where
// the unguarded call would have crashed. On success the bytes of `key` and
// `data` (when given) have been found readable. Thread-safe as the wrapped
// calls are.
int GuardedGet(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* data);
int GuardedCursorGet(MDB_cursor* cursor, MDB_val* key, MDB_val* data, MDB_cursor_op op);
int GuardedDbiOpen(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_LMDB_GUARD_H_
