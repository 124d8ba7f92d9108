#include "platform/avfaudio/ffmpeg_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/file_error.h"
#include "platform/foundation/quoted_text.h"

namespace plim::avfaudio {
namespace {

constexpr char kModuleFileName[] = "libplim_avfaudio_ffmpeg.so";

// An open dlopen handle, closed on destruction.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  ~SharedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SharedLibrary& operator=(SharedLibrary&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }

  void* get() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

// The loaded module, or why it could not be loaded.
struct LoadedModule {
  SharedLibrary library;
  FfmpegModuleEntry entry = nullptr;
  LiveSourceEntry live_entry = nullptr;
  std::string failure;  // when entry is null
};

// Where to look: beside the running program (a copied tree), where an
// install puts it relative to the program, then where the build put it.
std::vector<std::string> CandidatePaths() {
  std::vector<std::string> paths;
  std::string program(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", program.data(), program.size());
  if (length > 0 && static_cast<size_t>(length) < program.size()) {
    program.resize(static_cast<size_t>(length));
    std::string folder = program.substr(0, program.rfind('/') + 1);
    paths.push_back(folder + kModuleFileName);
#ifdef PLIM_AVFAUDIO_FFMPEG_MODULE_INSTALL_DIR
    paths.push_back(folder + "../" + PLIM_AVFAUDIO_FFMPEG_MODULE_INSTALL_DIR + "/" +
                    kModuleFileName);
#endif
  }
#ifdef PLIM_AVFAUDIO_FFMPEG_MODULE_PATH
  paths.push_back(PLIM_AVFAUDIO_FFMPEG_MODULE_PATH);
#endif
  return paths;
}

LoadedModule Load() {
  LoadedModule module;
  std::string tried;
  for (const std::string& path : CandidatePaths()) {
    if (access(path.c_str(), F_OK) != 0) {
      tried += (tried.empty() ? "" : ", ") + path;
      continue;
    }
    // RTLD_LAZY: functions are bound when first called, as for a linked
    // library, not all of those of FFmpeg's many dependencies up front.
    // RTLD_NODELETE: they stay mapped after the handle is closed at exit,
    // while other static destructors may still run.
    SharedLibrary library(dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE));
    if (library.get() == nullptr) {
      const char* reason = dlerror();
      module.failure = "the FFmpeg decoding module " + path + " could not be loaded (" +
                       (reason != nullptr ? reason : "unknown reason") + ")";
      return module;
    }
    void* entry = dlsym(library.get(), kFfmpegModuleEntryName);
    if (entry == nullptr) {
      module.failure =
          "the FFmpeg decoding module " + path + " lacks its entry point " + kFfmpegModuleEntryName;
      return module;
    }
    void* live_entry = dlsym(library.get(), kLiveSourceEntryName);
    if (live_entry == nullptr) {
      module.failure =
          "the FFmpeg decoding module " + path + " lacks its entry point " + kLiveSourceEntryName;
      return module;
    }
    module.library = std::move(library);
    module.entry = reinterpret_cast<FfmpegModuleEntry>(entry);
    module.live_entry = reinterpret_cast<LiveSourceEntry>(live_entry);
    return module;
  }
  module.failure = std::string("the FFmpeg decoding module ") + kModuleFileName +
                   " was not found (looked for " + tried + ")";
  return module;
}

// Loaded once per process, by whichever thread comes first.
const LoadedModule& Module() {
  static const LoadedModule module = Load();
  return module;
}

}  // namespace

std::unique_ptr<AudioDecoder> OpenFfmpegDecoder(const FileInput& input) {
  const LoadedModule& module = Module();
  if (module.entry == nullptr) {
    throw FileError(kAVAudioFileErrorUnreadable, input.path(), module.failure);
  }
  return std::unique_ptr<AudioDecoder>(module.entry(input));
}

std::unique_ptr<LiveAudioSource> OpenLiveAudioSource(const std::string& source,
                                                     const LiveSourceOptions& options) {
  const LoadedModule& module = Module();
  if (module.live_entry == nullptr) {
    throw foundation::NSError(kAVFAudioErrorDomain, kAVAudioFileErrorUnreadable,
                              "The source " + foundation::QuotedText(source) +
                                  " could not be opened: " + module.failure + ".");
  }
  return std::unique_ptr<LiveAudioSource>(module.live_entry(source, options));
}

}  // namespace plim::avfaudio
