#include "tools/plim-catalog/copy_command.h"

#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/redo_recordings.h"
#include "tools/plim-catalog/store_warnings.h"

namespace plim {

int RunCopyCommand(const GlobalOptions& global, const CopyCommandOptions& options) {
  try {
    auto source = catalog::OpenCatalogStore(options.source, catalog::CatalogStore::Mode::kReadOnly);
    WriteStoreWarnings(*source);
    auto destination =
        catalog::OpenCatalogStore(options.destination, catalog::CatalogStore::Mode::kReadWrite);
    WriteStoreWarnings(*destination);
    std::vector<OldRecording> todo;
    std::size_t present = 0, total = 0;
    {
      // The source first, as RedoRecordings holds them: between two
      // directories, each reader holds its catalog's map.
      auto reading = source->NewCatalogReader();
      auto have = destination->NewCatalogReader();
      reading->ForEachRecording([&](catalog::RecordingId id, const catalog::Recording& recording) {
        ++total;
        if (have->GetRecording(id) || have->FindByContentHash(recording.content_hash)) {
          ++present;
        } else {
          todo.push_back({id, recording});
        }
        return true;
      });
    }
    std::vector<std::string> left_out;
    const std::size_t copied = RedoRecordings(todo, *source, *destination, options.jobs, left_out);
    if (!global.quiet) {
      foundation::writeToStandardError("plim-catalog: copied " + std::to_string(copied) + " of " +
                                       Counted(total, "recording", "recordings") + " from " +
                                       foundation::QuotedText(source->location()) + " to " +
                                       foundation::QuotedText(destination->location()) +
                                       " (" + std::to_string(present) + " there already, " +
                                       std::to_string(left_out.size()) + " left out)\n");
    }
    return left_out.empty() ? 0 : 1;
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return 1;
  }
}

}  // namespace plim
