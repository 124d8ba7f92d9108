#include "tools/plim-catalog/store_warnings.h"

#include "platform/foundation/standard_stream.h"

namespace plim {

void WriteStoreWarnings(const catalog::CatalogStore& store) {
  for (const std::string& warning : store.warnings())
    foundation::writeToStandardError("plim-catalog: " + warning + "\n");
}

}  // namespace plim
