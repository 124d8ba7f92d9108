#include "tools/plim-catalog/tag_reader.h"

#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

namespace plim {
namespace {

std::string Utf8(const TagLib::String& text) { return text.to8Bit(true); }

std::string First(const TagLib::PropertyMap& properties, const char* key) {
  auto it = properties.find(key);
  if (it == properties.end() || it->second.isEmpty()) return {};
  return Utf8(it->second.front());
}

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
  TagLib::PropertyMap properties = ref.file()->properties();
  tags.title = First(properties, "TITLE");
  tags.artist = First(properties, "ARTIST");
  tags.album = First(properties, "ALBUM");
  tags.isrc = First(properties, "ISRC");
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
