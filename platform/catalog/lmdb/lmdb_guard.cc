#include "platform/catalog/lmdb/lmdb_guard.h"

#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <mutex>

namespace plim::catalog {
namespace {

// The guard of the read this thread is in, or null. Set and cleared around
// each guarded call only, so a fault elsewhere finds it null.
thread_local sigjmp_buf* t_guard = nullptr;

struct sigaction g_before_segv;
struct sigaction g_before_bus;

void OnFault(int signal_number, siginfo_t*, void*) {
  if (sigjmp_buf* guard = t_guard) {
    t_guard = nullptr;
    siglongjmp(*guard, 1);
  }
  // Not a guarded read: put back what was there, and the faulting
  // instruction, run again on return, meets it.
  sigaction(signal_number, signal_number == SIGSEGV ? &g_before_segv : &g_before_bus, nullptr);
}

// LMDB aborts when this returns; within a guarded read it does not return.
void OnAssert(MDB_env*, const char*) {
  if (sigjmp_buf* guard = t_guard) {
    t_guard = nullptr;
    siglongjmp(*guard, 1);
  }
}

void InstallHandlers() {
  struct sigaction action = {};
  action.sa_sigaction = OnFault;
  // SA_NODEFER leaves the signal mask as it was, so sigsetjmp need not save
  // it (a system call on every read) for the jump out to restore it.
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_before_segv);
  sigaction(SIGBUS, &action, &g_before_bus);
}

// Reads one byte of every page `value` spans, so that a size a damaged node
// claims faults here, under the guard, rather than in the caller.
void Touch(const MDB_val* value) {
  if (value == nullptr || value->mv_size == 0 || value->mv_data == nullptr) return;
  static const std::size_t page_bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const volatile unsigned char* bytes = static_cast<const unsigned char*>(value->mv_data);
  for (std::size_t at = 0; at < value->mv_size; at += page_bytes) (void)bytes[at];
  (void)bytes[value->mv_size - 1];
}

// The result of a read the guard jumped out of. The jump leaves the signal
// mask the handler ran with: SA_NODEFER keeps the fault signals out of it,
// but a runtime that wraps handlers (ThreadSanitizer's does) may block them,
// and a second fault while they are blocked would kill the process.
int Corrupted() {
  sigset_t faults;
  sigemptyset(&faults);
  sigaddset(&faults, SIGSEGV);
  sigaddset(&faults, SIGBUS);
  pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
  return MDB_CORRUPTED;
}

}  // namespace

void GuardLmdbReads(MDB_env* env) {
  static std::once_flag installed;
  std::call_once(installed, InstallHandlers);
  mdb_env_set_assert(env, OnAssert);
}

// Each wrapper holds no object with a destructor between sigsetjmp and the
// call: the jump back passes over LMDB's frames only.

int GuardedGet(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* data) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return Corrupted();
  t_guard = &guard;
  const int rc = mdb_get(txn, dbi, key, data);
  if (rc == MDB_SUCCESS) Touch(data);
  t_guard = nullptr;
  return rc;
}

int GuardedCursorGet(MDB_cursor* cursor, MDB_val* key, MDB_val* data, MDB_cursor_op op) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return Corrupted();
  t_guard = &guard;
  const int rc = mdb_cursor_get(cursor, key, data, op);
  if (rc == MDB_SUCCESS) {
    Touch(key);
    Touch(data);
  }
  t_guard = nullptr;
  return rc;
}

int GuardedDbiOpen(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return Corrupted();
  t_guard = &guard;
  const int rc = mdb_dbi_open(txn, name, flags, dbi);
  t_guard = nullptr;
  return rc;
}

}  // namespace plim::catalog
