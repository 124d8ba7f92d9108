#include "tools/plim-catalog/file_ingest.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/catalog/picture_file.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/url.h"
#include "tools/plim-catalog/audio_file_signature.h"
#include "tools/plim-catalog/duration_text.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/tag_reader.h"

namespace plim {
namespace {

namespace fs = std::filesystem;

struct DecodedAudio {
  std::vector<fingerprint::Landmark> landmarks;
  std::vector<fingerprint::Peak> peaks;
  fingerprint::BandOutline outline;
  std::string content_hash;
  double duration_s = 0;
  std::optional<double> declared_duration_s;
};

DecodedAudio DecodeAndFingerprint(const std::string& path) {
  AudioFileSignature audio = SignAudioFile(path);
  return {audio.signature.ReferenceLandmarks(),
          audio.signature.ReferencePeaks(),
          audio.signature.constellation().outline,
          std::move(audio.content_hash),
          audio.duration_s,
          audio.declared_duration_s};
}

// Encoders pad or trim a fraction of a second; a file cut short lacks more.
constexpr double kMinLostS = 1.0;

// The warning for a file whose audio ends before its header says it does,
// or empty.
std::string TruncationWarning(const std::string& path, const DecodedAudio& audio) {
  if (!audio.declared_duration_s || *audio.declared_duration_s - audio.duration_s < kMinLostS)
    return "";
  return foundation::QuotedText(path) +
         " is truncated: " + FormatDuration(*audio.declared_duration_s) + " declared, " +
         FormatDuration(audio.duration_s) + " decoded; added as decoded";
}

// The warning for a file whose tags hold several values where one is
// kept, unless the user gave that field; or empty. One line for the file,
// so that a package of many files says it once each.
std::string SeveralValuesWarning(const std::string& path, const FileTags& tags,
                                 const MetadataOverrides& overrides) {
  std::string out;
  for (const auto& [key, count] : tags.several_values) {
    const std::string* first = nullptr;
    if (key == "TITLE" && !overrides.title) first = &tags.title;
    if (key == "ARTIST" && !overrides.artist) first = &tags.artist;
    if (key == "ALBUM" && !overrides.album) first = &tags.album;
    if (key == "ISRC" && !overrides.isrc) first = &tags.isrc;
    if (first == nullptr) continue;
    out += (out.empty() ? "" : "; its ") + key + " tag holds " + std::to_string(count) +
           " values, of which only the first, " + foundation::QuotedText(*first) + ", is kept";
  }
  return out.empty() ? "" : foundation::QuotedText(path) + ": its " + out;
}

bool LooksLikeUrl(const std::string& text) { return text.find("://") != std::string::npos; }

// Titles, names and genres run to a few hundred bytes; a tag of megabytes
// comes from a hostile file, and would be printed whole by every list.
constexpr std::size_t kMaxTagBytes = 4096;

// Cuts `text` to kMaxTagBytes at a character's start; true when it was longer.
bool CutTag(std::string& text) {
  if (text.size() <= kMaxTagBytes) return false;
  std::size_t end = kMaxTagBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return true;
}

// Cuts every text of `tags` to kMaxTagBytes; true when any was longer.
bool CutTags(FileTags& tags) {
  bool cut = false;
  for (std::string* text : {&tags.title, &tags.artist, &tags.album, &tags.isrc})
    cut = CutTag(*text) || cut;
  for (std::string& genre : tags.genres) cut = CutTag(genre) || cut;
  return cut;
}

// Applies `value` over `field` when set.
void Override(std::string& field, const std::optional<std::string>& value) {
  if (value) field = *value;
}

}  // namespace

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat file_stat;
  if (stat(path.c_str(), &file_stat) != 0) return std::nullopt;
  return FileStamp{
      static_cast<std::uint64_t>(file_stat.st_size),
      static_cast<std::int64_t>(file_stat.st_mtim.tv_sec) * 1000000000 + file_stat.st_mtim.tv_nsec};
}

KnownFile LookUpFile(const std::string& path, const FileStamp& stamp,
                     const catalog::CatalogReader& reader) {
  KnownFile known;
  known.id = reader.FindBySourcePath(path);
  if (!known.id) {
    // A copy is skipped as its recording is, but is no recording of its own.
    if (std::optional<catalog::RecordingCopy> copy = reader.FindCopy(path)) {
      known.unchanged =
          copy->size_bytes == stamp.size_bytes && copy->modified_ns == stamp.modified_ns;
      if (std::optional<catalog::Recording> recording = reader.GetRecording(copy->id))
        known.duration_s = recording->duration_s;
    }
    return known;
  }
  std::optional<catalog::Recording> recording = reader.GetRecording(*known.id);
  if (!recording) return known;
  known.unchanged = recording->source_size_bytes == stamp.size_bytes &&
                    recording->source_modified_ns == stamp.modified_ns;
  known.duration_s = recording->duration_s;
  return known;
}

IngestResult IngestFile(const Candidate& candidate, const catalog::CatalogStore& catalog,
                        const MetadataOverrides& overrides) {
  IngestResult result;
  result.path = candidate.path;
  result.size_bytes = candidate.size_bytes;
  try {
    std::optional<FileStamp> stamp = StampOf(candidate.path);
    if (!stamp) {
      result.problem = "The file " + foundation::QuotedText(candidate.path) +
                       " could not be read: " + std::strerror(errno) + ".";
      return result;
    }
    const std::uint64_t size_bytes = stamp->size_bytes;
    const std::int64_t modified_ns = stamp->modified_ns;
    result.size_bytes = size_bytes;
    {
      // Scoped: a reader must not live on while the writer needs the map.
      KnownFile known = LookUpFile(candidate.path, *stamp, *catalog.NewCatalogReader());
      if (known.unchanged) {
        result.kind = IngestResult::Kind::kUnchanged;
        result.audio_s = known.duration_s;
        return result;
      }
      result.known_id = known.id;
    }
    if (size_bytes == 0) {
      if (!candidate.named_explicitly && !HasAudioExtension(candidate.path)) {
        result.kind = IngestResult::Kind::kNotAudio;
      } else {
        result.problem = "The file \"" + candidate.path + "\" is empty.";
      }
      return result;
    }

    DecodedAudio audio;
    try {
      audio = DecodeAndFingerprint(candidate.path);
    } catch (const foundation::NSError& error) {
      bool not_audio = error.domain() == avfaudio::kAVFAudioErrorDomain &&
                       (error.code() == avfaudio::kAVAudioFileErrorNotAudioFile ||
                        error.code() == avfaudio::kAVAudioFileErrorNoDecodableAudio);
      if (not_audio && !candidate.named_explicitly && !HasAudioExtension(candidate.path)) {
        result.kind = IngestResult::Kind::kNotAudio;
        return result;
      }
      result.problem = foundation::MessageNamingFile(candidate.path, error.description());
      return result;
    }
    result.audio_s = audio.duration_s;
    if (std::string truncated = TruncationWarning(candidate.path, audio); !truncated.empty())
      result.warnings.push_back(std::move(truncated));
    // A recording without landmarks could never be matched.
    if (audio.landmarks.empty()) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f", audio.duration_s);
      result.problem = "The file " + foundation::QuotedText(candidate.path) +
                       " can't be matched: its " + seconds +
                       " seconds of audio hold no landmarks (silence, or too short).";
      return result;
    }

    FileTags tags = ReadFileTags(candidate.path);
    if (CutTags(tags)) {
      result.warnings.push_back("the tags of " + foundation::QuotedText(candidate.path) +
                                " are cut to " + std::to_string(kMaxTagBytes) + " bytes each");
    }
    catalog::Recording& recording = result.item.recording;
    if (std::string several = SeveralValuesWarning(candidate.path, tags, overrides);
        !several.empty()) {
      result.warnings.push_back(std::move(several));
    }
    recording.title = tags.title.empty() ? fs::path(candidate.path).stem().string() : tags.title;
    recording.artist = tags.artist;
    recording.subtitle = tags.album;
    recording.isrc = tags.isrc;
    recording.genres = tags.genres;
    Override(recording.title, overrides.title);
    Override(recording.artist, overrides.artist);
    Override(recording.subtitle, overrides.album);
    Override(recording.isrc, overrides.isrc);
    if (overrides.genres) recording.genres = *overrides.genres;
    if (overrides.artwork && LooksLikeUrl(*overrides.artwork)) {
      recording.artwork_url = *overrides.artwork;
    } else if (overrides.artwork) {
      try {
        result.item.artwork =
            catalog::ReadPictureFile(*overrides.artwork, catalog::PictureLinks::kFollow);
      } catch (const foundation::NSError& error) {
        result.problem =
            error.description() + " (for " + foundation::QuotedText(candidate.path) + ")";
        return result;
      }
    } else if (tags.picture && tags.picture->bytes.size() > catalog::kMaxPictureBytes) {
      result.warnings.push_back("the picture in " + foundation::QuotedText(candidate.path) +
                                " is larger than " +
                                std::to_string(catalog::kMaxPictureBytes >> 20) +
                                " MiB: added without it");
    } else {
      result.item.artwork = std::move(tags.picture);
    }
    recording.duration_s = audio.duration_s;
    recording.source_path = candidate.path;
    recording.source_size_bytes = size_bytes;
    recording.source_modified_ns = modified_ns;
    recording.content_hash = std::move(audio.content_hash);
    result.item.landmarks = std::move(audio.landmarks);
    result.item.peaks = std::move(audio.peaks);
    result.item.outline = std::move(audio.outline);
    result.kind = IngestResult::Kind::kReady;
  } catch (const foundation::NSError& error) {
    result.problem = foundation::MessageNamingFile(candidate.path, error.description());
  } catch (const std::bad_alloc&) {
    result.problem = "The file " + foundation::QuotedText(candidate.path) +
                     " could not be processed: out of memory.";
  }
  return result;
}

}  // namespace plim
