#include "platform/avfaudio/ffmpeg/tag_bounds.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/file_error.h"

namespace plim::avfaudio {
namespace {

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint32_t BigEndian(const unsigned char* bytes, int size) {
  std::uint32_t value = 0;
  for (int i = 0; i < size; ++i) value = value << 8 | bytes[i];
  return value;
}

// ID3v2's sizes keep 7 bits a byte; nullopt-like 0xFFFFFFFF when a byte
// has its top bit set, which a tag never writes.
constexpr std::uint32_t kNotSyncsafe = 0xFFFFFFFF;
std::uint32_t Syncsafe(const unsigned char* bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (bytes[i] & 0x80) return kNotSyncsafe;
    value = value << 7 | bytes[i];
  }
  return value;
}

// What the file's tags add up to so far; refuses the file once either
// bound is passed.
class TagCount {
 public:
  explicit TagCount(const FileInput& input) : input_(input) {}

  void Add(std::uint64_t tags, std::uint64_t bytes) {
    tags_ += tags;
    bytes_ += bytes;
    if (tags_ > kMostTags) {
      Refuse("it has more than " + std::to_string(kMostTags) + " tags, the most that are read");
    }
    if (bytes_ > kMostTagBytes) {
      Refuse("its tags take more than " + std::to_string(kMostTagBytes >> 20) +
             " MB, the most that are read");
    }
  }

 private:
  [[noreturn]] void Refuse(const std::string& reason) const {
    throw FileError(kAVAudioFileErrorUnreadable, input_.path(), reason);
  }

  const FileInput& input_;
  std::uint64_t tags_ = 0;
  std::uint64_t bytes_ = 0;
};

bool ReadExactly(const FileInput& input, std::int64_t at, void* data, std::size_t size) {
  return input.ReadAt(at, data, size) == size;
}

bool IsFrameIdChar(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Counts the frames of the ID3v2 tags that start at `at`, one after
// another as FFmpeg reads them; returns the offset after them.
std::int64_t CountId3v2Tags(const FileInput& input, std::int64_t at, TagCount& count) {
  unsigned char header[10];
  while (ReadExactly(input, at, header, sizeof header) && std::memcmp(header, "ID3", 3) == 0) {
    const int major = header[3];
    const std::uint32_t size = Syncsafe(header + 6);
    if (major < 2 || major > 4 || header[4] == 0xFF || size == kNotSyncsafe) break;
    count.Add(0, size);
    const std::int64_t end = at + 10 + size;
    std::int64_t frame = at + 10;
    if ((header[5] & 0x40) && major >= 3) {
      unsigned char extended[4];
      if (!ReadExactly(input, frame, extended, sizeof extended)) break;
      frame += major == 3 ? 4 + BigEndian(extended, 4) : Syncsafe(extended);
    }
    const int header_bytes = major == 2 ? 6 : 10;
    unsigned char frame_header[10];
    while (frame + header_bytes <= end &&
           ReadExactly(input, frame, frame_header, static_cast<std::size_t>(header_bytes))) {
      const int id_bytes = major == 2 ? 3 : 4;
      if (!std::all_of(frame_header, frame_header + id_bytes, IsFrameIdChar)) break;  // padding
      const std::uint32_t frame_size = major == 2   ? BigEndian(frame_header + 3, 3)
                                       : major == 3 ? BigEndian(frame_header + 4, 4)
                                                    : Syncsafe(frame_header + 4);
      if (frame_size == kNotSyncsafe) break;
      count.Add(1, 0);
      frame += header_bytes + frame_size;
    }
    at = end + ((major == 4 && (header[5] & 0x10)) ? 10 : 0);
  }
  return at;
}

// The comment count of the Vorbis comment whose vendor length field is at
// `at`, within a block of `block_bytes` bytes from there.
void CountVorbisComment(const FileInput& input, std::int64_t at, std::uint64_t block_bytes,
                        TagCount& count) {
  unsigned char field[4];
  if (!ReadExactly(input, at, field, sizeof field)) return;
  const std::uint64_t vendor_bytes = LittleEndian32(field);
  if (vendor_bytes + 8 > block_bytes ||
      !ReadExactly(input, at + 4 + static_cast<std::int64_t>(vendor_bytes), field, sizeof field)) {
    return;
  }
  count.Add(LittleEndian32(field), 0);
}

// Counts the comments of the FLAC metadata blocks from `at`.
void CountFlacComments(const FileInput& input, std::int64_t at, TagCount& count) {
  constexpr int kVorbisCommentBlock = 4;
  unsigned char header[4];
  if (!ReadExactly(input, at, header, sizeof header) || std::memcmp(header, "fLaC", 4) != 0) return;
  at += 4;
  bool last = false;
  while (!last && ReadExactly(input, at, header, sizeof header)) {
    last = (header[0] & 0x80) != 0;
    const std::uint32_t size = BigEndian(header + 1, 3);
    if ((header[0] & 0x7F) == kVorbisCommentBlock) {
      count.Add(0, size);
      CountVorbisComment(input, at + 4, size, count);
    }
    at += 4 + size;
  }
}

// How an Ogg stream's identification header names its codec, and what
// comes before the Vorbis comment in its comment header: a text, or for
// Ogg FLAC a metadata block header of 4 bytes.
struct OggCodec {
  std::string_view identification;
  std::string_view comment_prefix;
  bool flac_block = false;
};
constexpr OggCodec kOggCodecs[] = {
    {"\x01vorbis", "\x03vorbis"},
    {"OpusHead", "OpusTags"},
    {"\x7F"
     "FLAC",
     "", true},
    {"Speex   ", ""},
    {"\x80theora", "\x81theora"},
};
constexpr std::size_t kIdentificationBytes = 8;

// One logical stream of an Ogg file, followed through its first two
// packets: the identification header, then the comment header.
class OggStream {
 public:
  bool done() const { return done_; }

  // Takes the next `size` bytes of the stream's current packet, which lie
  // at `at` in the file; `ends` when they end the packet.
  void Feed(const FileInput& input, std::int64_t at, std::uint64_t size, bool ends,
            TagCount& count) {
    const std::uint64_t start = seen_, end = seen_ + size;
    while (!done_) {
      // The part of these bytes within the window still wanted.
      const std::uint64_t from = std::max(start, want_from_ + kept_.size());
      const std::uint64_t to = std::min(end, want_from_ + want_bytes_);
      if (from < to) {
        std::string bytes(to - from, '\0');
        if (!ReadExactly(input, at + static_cast<std::int64_t>(from - start), bytes.data(),
                         bytes.size())) {
          done_ = true;
          return;
        }
        kept_ += bytes;
      }
      if (codec_ == nullptr || kept_.size() < want_bytes_) break;
      Advance(count);  // a new window, which may lie in these bytes too
    }
    seen_ = end;
    if (done_) return;
    if (codec_ != nullptr && seen_ > kMostTagBytes) count.Add(0, seen_);
    if (ends) EndPacket();
  }

 private:
  void EndPacket() {
    if (codec_ != nullptr) {
      done_ = true;  // a comment header shorter than it says
      return;
    }
    for (const OggCodec& codec : kOggCodecs) {
      if (kept_.compare(0, codec.identification.size(), codec.identification) == 0) {
        codec_ = &codec;
      }
    }
    if (codec_ == nullptr) {
      done_ = true;
      return;
    }
    prefix_bytes_ = codec_->flac_block ? 4 : codec_->comment_prefix.size();
    seen_ = 0;
    kept_.clear();
    want_from_ = 0;
    want_bytes_ = prefix_bytes_ + 4;
  }

  // The comment header's window is full: its prefix and vendor length,
  // then its comment count.
  void Advance(TagCount& count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(kept_.data());
    if (reading_count_) {
      count.Add(LittleEndian32(bytes), 0);
      done_ = true;
      return;
    }
    const bool vorbis_comment = codec_->flac_block
                                    ? (bytes[0] & 0x7F) == 4
                                    : kept_.compare(0, prefix_bytes_, codec_->comment_prefix) == 0;
    if (!vorbis_comment) {
      done_ = true;
      return;
    }
    const std::uint64_t vendor_bytes = LittleEndian32(bytes + prefix_bytes_);
    count.Add(0, vendor_bytes);
    reading_count_ = true;
    want_from_ = prefix_bytes_ + 4 + vendor_bytes;
    want_bytes_ = 4;
    kept_.clear();
  }

  const OggCodec* codec_ = nullptr;  // known once the first packet has ended
  std::uint64_t seen_ = 0;           // bytes of the current packet so far
  // The bytes of the current packet wanted next, and those kept of them.
  std::uint64_t want_from_ = 0;
  std::size_t want_bytes_ = kIdentificationBytes;
  std::string kept_;
  std::size_t prefix_bytes_ = 0;
  bool reading_count_ = false;
  bool done_ = false;
};

// Counts the comments of every stream of the Ogg file whose pages start at `at`.
void CountOggComments(const FileInput& input, std::int64_t at, TagCount& count) {
  std::map<std::uint32_t, OggStream> streams;
  const std::int64_t last = at + static_cast<std::int64_t>(kMostTagBytes) + (1 << 20);
  unsigned char header[27 + 255];
  while (at < last && ReadExactly(input, at, header, 27) && std::memcmp(header, "OggS", 4) == 0) {
    const int segments = header[26];
    if (!ReadExactly(input, at + 27, header + 27, static_cast<std::size_t>(segments))) return;
    const std::uint32_t serial = LittleEndian32(header + 14);
    const bool begins_stream = (header[5] & 0x02) != 0;
    if (begins_stream) streams.try_emplace(serial);
    std::int64_t payload = at + 27 + segments;
    auto it = streams.find(serial);
    // Runs of segments up to one below 255 end a packet.
    for (int i = 0; i < segments;) {
      std::uint64_t run = 0;
      int j = i;
      while (j < segments && header[27 + j] == 255) run += header[27 + j++];
      const bool ends = j < segments;
      if (ends) run += header[27 + j++];
      if (it != streams.end()) it->second.Feed(input, payload, run, ends, count);
      payload += static_cast<std::int64_t>(run);
      i = j;
    }
    at = payload;
    if (!begins_stream && std::all_of(streams.begin(), streams.end(),
                                      [](const auto& s) { return s.second.done(); })) {
      return;
    }
  }
}

// Counts the items of an APEv2 tag at the end of the file, before an ID3v1
// tag or not, as FFmpeg's MP3, WavPack and Monkey's Audio readers find it.
void CountApeTag(const FileInput& input, TagCount& count) {
  constexpr std::int64_t kFooterBytes = 32, kId3v1Bytes = 128;
  const std::int64_t size = input.SizeBytes();
  for (const std::int64_t footer : {size - kFooterBytes, size - kId3v1Bytes - kFooterBytes}) {
    unsigned char bytes[kFooterBytes];
    if (footer < 0 || !ReadExactly(input, footer, bytes, sizeof bytes) ||
        std::memcmp(bytes, "APETAGEX", 8) != 0) {
      continue;
    }
    count.Add(LittleEndian32(bytes + 16), LittleEndian32(bytes + 12));
    return;
  }
}

// Where in an MP4 file's boxes the walk below is: tags are the children of
// moov/udta and of the item lists under moov/meta and moov/udta/meta.
enum class Mp4Level { kFile, kMovie, kUserData, kMeta, kItemList };

// Walks the boxes within [from, to) at `level`, counting the tags.
void CountMp4Tags(const FileInput& input, std::int64_t from, std::int64_t to, Mp4Level level,
                  TagCount& count) {
  for (std::int64_t at = from; at + 8 <= to;) {
    unsigned char header[16];
    if (!ReadExactly(input, at, header, 8)) return;
    std::uint64_t size = BigEndian(header, 4);
    std::int64_t contents = at + 8;
    if (size == 1) {
      if (!ReadExactly(input, at + 8, header + 8, 8)) return;
      size = static_cast<std::uint64_t>(BigEndian(header + 8, 4)) << 32 | BigEndian(header + 12, 4);
      contents += 8;
    } else if (size == 0) {
      size = static_cast<std::uint64_t>(to - at);  // to the end
    }
    if (size < static_cast<std::uint64_t>(contents - at) ||
        size > static_cast<std::uint64_t>(to - at)) {
      return;
    }
    const std::int64_t end = at + static_cast<std::int64_t>(size);
    const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
    switch (level) {
      case Mp4Level::kFile:
        if (type == "moov") CountMp4Tags(input, contents, end, Mp4Level::kMovie, count);
        break;
      case Mp4Level::kMovie:
        if (type == "udta") CountMp4Tags(input, contents, end, Mp4Level::kUserData, count);
        if (type == "meta") CountMp4Tags(input, contents + 4, end, Mp4Level::kMeta, count);
        break;
      case Mp4Level::kUserData:
        if (type == "meta") {
          CountMp4Tags(input, contents + 4, end, Mp4Level::kMeta, count);
        } else {
          count.Add(1, size);
        }
        break;
      case Mp4Level::kMeta:
        if (type == "ilst") CountMp4Tags(input, contents, end, Mp4Level::kItemList, count);
        break;
      case Mp4Level::kItemList:
        count.Add(1, size);
        break;
    }
    at = end;
  }
}

// Whether `input` starts with a box of an MP4 (QuickTime) file.
bool LooksLikeMp4(const FileInput& input) {
  unsigned char header[8];
  if (!ReadExactly(input, 0, header, sizeof header)) return false;
  const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
  return type == "ftyp" || type == "moov" || type == "free" || type == "wide" || type == "mdat";
}

}  // namespace

void RefuseUnboundedTags(const FileInput& input) {
  TagCount count(input);
  const std::int64_t after_id3 = CountId3v2Tags(input, 0, count);
  CountFlacComments(input, after_id3, count);
  CountOggComments(input, after_id3, count);
  if (LooksLikeMp4(input)) CountMp4Tags(input, 0, input.SizeBytes(), Mp4Level::kFile, count);
  CountApeTag(input, count);
}

}  // namespace plim::avfaudio
