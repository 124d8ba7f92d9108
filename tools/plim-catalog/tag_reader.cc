#include "tools/plim-catalog/tag_reader.h"

#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/oggfile.h>
#include <taglib/opusfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace plim {
namespace {

std::string Utf8(const TagLib::String& text) { return text.to8Bit(true); }

// Vorbis comments (FLAC, Ogg) sit near the start of a file.
constexpr std::size_t kCommentSearchBytes = 1 << 20;

// The bytes of the Vorbis comment "`key`=..." found in `head`, the first
// bytes of a file, or "" when there is none: an entry is a little-endian
// 32-bit length and then that many bytes.
std::string RawVorbisComment(std::string_view head, std::string_view key) {
  auto same_letters = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) ==
           std::toupper(static_cast<unsigned char>(b));
  };
  const std::size_t entry = key.size() + 1;
  for (std::size_t i = 4; i + entry <= head.size(); ++i) {
    if (head[i + key.size()] != '=' ||
        !std::equal(key.begin(), key.end(), head.begin() + i, same_letters)) {
      continue;
    }
    std::uint32_t length = 0;
    for (int b = 3; b >= 0; --b) length = length << 8 | static_cast<unsigned char>(head[i - 4 + b]);
    if (length >= entry && length <= head.size() - i)
      return std::string(head.substr(i + entry, length - entry));
  }
  return {};
}

// TagLib leaves out a Vorbis comment whose bytes are not UTF-8, so a field
// with one bad byte would be lost whole; a field it does not have is looked
// for in the file's first bytes instead, and repaired like every other text
// when stored.
class Fields {
 public:
  Fields(const std::string& path, TagLib::File* file)
      : path_(path),
        properties_(file->properties()),
        xiph_(dynamic_cast<TagLib::FLAC::File*>(file) != nullptr ||
              dynamic_cast<TagLib::Ogg::File*>(file) != nullptr) {}

  std::string First(const char* key) {
    auto it = properties_.find(key);
    std::string text;
    if (it != properties_.end() && !it->second.isEmpty()) text = Utf8(it->second.front());
    if (text.empty() && xiph_) text = RawVorbisComment(Head(), key);
    return text;
  }

  const TagLib::PropertyMap& properties() const { return properties_; }

 private:
  std::string_view Head() {
    if (!head_) {
      head_.emplace(kCommentSearchBytes, '\0');
      std::ifstream in(path_, std::ios::binary);
      in.read(head_->data(), static_cast<std::streamsize>(head_->size()));
      head_->resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    }
    return *head_;
  }

  const std::string& path_;
  TagLib::PropertyMap properties_;
  bool xiph_;
  std::optional<std::string> head_;
};

catalog::Artwork MakeArtwork(const TagLib::ByteVector& data, const TagLib::String& mime_type) {
  return catalog::Artwork{std::string(data.data(), data.size()), Utf8(mime_type)};
}

std::optional<catalog::Artwork> FromId3v2(TagLib::ID3v2::Tag* tag) {
  if (tag == nullptr) return std::nullopt;
  const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
  const TagLib::ID3v2::AttachedPictureFrame* chosen = nullptr;
  for (const TagLib::ID3v2::Frame* frame : frames) {
    const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame);
    if (picture == nullptr || picture->picture().isEmpty()) continue;
    if (chosen == nullptr || picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) {
      if (chosen == nullptr || chosen->type() != TagLib::ID3v2::AttachedPictureFrame::FrontCover)
        chosen = picture;
    }
  }
  if (chosen == nullptr) return std::nullopt;
  return MakeArtwork(chosen->picture(), chosen->mimeType());
}

std::optional<catalog::Artwork> FromPictureList(
    const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
  const TagLib::FLAC::Picture* chosen = nullptr;
  for (const TagLib::FLAC::Picture* picture : pictures) {
    if (picture->data().isEmpty()) continue;
    if (chosen == nullptr || (picture->type() == TagLib::FLAC::Picture::FrontCover &&
                              chosen->type() != TagLib::FLAC::Picture::FrontCover)) {
      chosen = picture;
    }
  }
  if (chosen == nullptr) return std::nullopt;
  return MakeArtwork(chosen->data(), chosen->mimeType());
}

std::optional<catalog::Artwork> FromMp4(TagLib::MP4::Tag* tag) {
  if (tag == nullptr || !tag->contains("covr")) return std::nullopt;
  for (const TagLib::MP4::CoverArt& cover : tag->item("covr").toCoverArtList()) {
    if (cover.data().isEmpty()) continue;
    const char* mime = cover.format() == TagLib::MP4::CoverArt::PNG ? "image/png" : "image/jpeg";
    return catalog::Artwork{std::string(cover.data().data(), cover.data().size()), mime};
  }
  return std::nullopt;
}

// TagLib's picture APIs differ by format (a unified one came after 1.13).
std::optional<catalog::Artwork> EmbeddedPicture(TagLib::File* file) {
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) return FromId3v2(mpeg->ID3v2Tag());
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
    if (auto picture = FromPictureList(flac->pictureList())) return picture;
    if (flac->hasXiphComment()) return FromPictureList(flac->xiphComment()->pictureList());
    return std::nullopt;
  }
  if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) {
    return vorbis->tag() ? FromPictureList(vorbis->tag()->pictureList()) : std::nullopt;
  }
  if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) {
    return opus->tag() ? FromPictureList(opus->tag()->pictureList()) : std::nullopt;
  }
  if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) return FromMp4(mp4->tag());
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
    return wav->hasID3v2Tag() ? FromId3v2(wav->ID3v2Tag()) : std::nullopt;
  }
  if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
    return aiff->hasID3v2Tag() ? FromId3v2(aiff->tag()) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

FileTags ReadFileTags(const std::string& path) {
  FileTags tags;
  // Audio properties are not needed: the decoder measures the audio itself.
  TagLib::FileRef ref(path.c_str(), false);
  if (ref.isNull() || ref.file() == nullptr || !ref.file()->isValid()) return tags;
  Fields fields(path, ref.file());
  tags.title = fields.First("TITLE");
  tags.artist = fields.First("ARTIST");
  tags.album = fields.First("ALBUM");
  tags.isrc = fields.First("ISRC");
  const TagLib::PropertyMap& properties = fields.properties();
  for (const char* key : {"TITLE", "ARTIST", "ALBUM", "ISRC"}) {
    auto it = properties.find(key);
    if (it != properties.end() && it->second.size() > 1)
      tags.several_values.emplace_back(key, it->second.size());
  }
  if (auto it = properties.find("GENRE"); it != properties.end()) {
    for (const TagLib::String& genre : it->second) {
      if (!genre.isEmpty()) tags.genres.push_back(Utf8(genre));
    }
  }
  tags.picture = EmbeddedPicture(ref.file());
  return tags;
}

}  // namespace plim
