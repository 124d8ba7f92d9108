#include "platform/avfaudio/ffmpeg/stream_decoder.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/ffmpeg/ffmpeg_io.h"
#include "platform/avfaudio/ffmpeg/mpeg_audio_header.h"
#include "platform/avfaudio/file_error.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace plim::avfaudio {
namespace {

// Swresample needs named layouts to remix; streams that only give a channel
// count get the usual layout for it.
void NormalizeLayout(const AVChannelLayout& layout, ChannelLayout& out) {
  if (layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_copy(out.get(), &layout) < 0) {
    av_channel_layout_uninit(out.get());
    av_channel_layout_default(out.get(), layout.nb_channels);
  }
}

bool IsOutOfMemory(int error) { return error == AVERROR(ENOMEM); }

}  // namespace

StreamDecoder::StreamDecoder(std::unique_ptr<PacketSource> source)
    : source_(std::move(source)),
      format_(source_->stream().codecpar->sample_rate,
              static_cast<AVAudioChannelCount>(source_->stream().codecpar->ch_layout.nb_channels)),
      sample_rate_hz_(source_->stream().codecpar->sample_rate),
      channel_count_(source_->stream().codecpar->ch_layout.nb_channels),
      model_(PacketFrameModel::ForStream(*source_, sample_rate_hz_)),
      ends_at_declared_duration_(EndsAtDeclaredDuration(*source_)),
      is_mpeg_audio_(source_->codec().id == AV_CODEC_ID_MP1 ||
                     source_->codec().id == AV_CODEC_ID_MP2 ||
                     source_->codec().id == AV_CODEC_ID_MP3) {
  const AVStream& stream = source_->stream();
  NormalizeLayout(stream.codecpar->ch_layout, layout_);

  codec_.reset(avcodec_alloc_context3(&source_->codec()));
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!codec_ || !packet_ || !frame_) {
    throw FileError(kAVAudioFileErrorUnreadable, source_->path(), "out of memory");
  }
  int error = avcodec_parameters_to_context(codec_.get(), stream.codecpar);
  if (error < 0) ThrowUnreadable(error);
  codec_->pkt_timebase = stream.time_base;
  // plim-catalog decodes several files at once, one thread each; decoder
  // threads would only add delay and contention.
  codec_->thread_count = 1;
  codec_->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
  error = avcodec_open2(codec_.get(), &source_->codec(), nullptr);
  if (error < 0) {
    if (IsOutOfMemory(error)) ThrowUnreadable(error);
    throw FileError(kAVAudioFileErrorNoDecodableAudio, source_->path());
  }

  // Decoding the first frame now makes a file in which nothing decodes an
  // error of opening, not of some later read.
  while (frame_offset_ == frame_end_ && Refill()) {
  }
  if (frame_offset_ == frame_end_ && packets_sent_ > 0 && packets_failed_ == packets_sent_) {
    throw FileError(kAVAudioFileErrorNoDecodableAudio, source_->path());
  }
  // The audio is delivered in the format it starts in. That is the
  // stream's, except in a stream that changes format, for which FFmpeg's
  // stream parameters can mix the rate of one part with the channels of
  // another.
  if (frame_offset_ < frame_end_ && frame_->sample_rate > 0 && frame_->ch_layout.nb_channels > 0) {
    if (frame_->sample_rate != sample_rate_hz_) model_.reset();
    sample_rate_hz_ = frame_->sample_rate;
    channel_count_ = frame_->ch_layout.nb_channels;
    if (channel_count_ > kMostChannels) {
      throw FileError(kAVAudioFileErrorUnreadable, source_->path(),
                      TooManyChannelsReason(channel_count_));
    }
    NormalizeLayout(frame_->ch_layout, layout_);
    format_ = AVAudioFormat(sample_rate_hz_, static_cast<AVAudioChannelCount>(channel_count_));
  }
  output_pointers_.resize(static_cast<size_t>(channel_count_));
}

StreamDecoder::~StreamDecoder() = default;

void StreamDecoder::SetTotalFrames(std::int64_t total_frames) {
  total_frames_ = std::max(total_frames, position_frames_);
}

std::int64_t StreamDecoder::Read(float* const* planes, std::int64_t capacity_frames) {
  std::int64_t written = 0;
  while (written < capacity_frames && !finished_) {
    std::int64_t space = capacity_frames - written;
    if (total_frames_) {
      space = std::min(space, *total_frames_ - position_frames_);
      if (space <= 0) {
        finished_ = true;
        break;
      }
    }
    std::int64_t frames = Convert(planes, written, space);
    if (frames == 0) {
      if (Refill()) continue;
      frames = DrainResampler(planes, written, space, /*flush=*/true);
      if (frames == 0 && pending_silence_frames_ > 0) continue;
      if (frames == 0) {
        if (total_frames_ && position_frames_ < *total_frames_) {
          pending_silence_frames_ = *total_frames_ - position_frames_;
          continue;
        }
        finished_ = true;
        break;
      }
    }
    written += frames;
    position_frames_ += frames;
  }
  return written;
}

bool StreamDecoder::Refill() {
  while (true) {
    int error = avcodec_receive_frame(codec_.get(), frame_.get());
    if (error == 0) {
      if (packet_sample_rate_hz_) frame_->sample_rate = *packet_sample_rate_hz_;
      int frames = frame_->nb_samples;
      if (packet_budget_frames_) {
        frames = static_cast<int>(std::min<std::int64_t>(frames, *packet_budget_frames_));
        *packet_budget_frames_ -= frames;
      }
      packet_frames_ += frames;
      if (!packet_failed_)
        largest_packet_frames_ = std::max(largest_packet_frames_, packet_frames_);
      if (frames <= 0) continue;
      frame_offset_ = 0;
      frame_end_ = frames;
      return true;
    }
    if (error == AVERROR_EOF) return false;
    if (error == AVERROR(EAGAIN)) {
      // A draining decoder answers EOF, never EAGAIN; stop rather than loop.
      if (input_ended_) return false;
      SendNextPacket();
      if (pending_silence_frames_ > 0) return true;
      continue;
    }
    if (IsOutOfMemory(error)) ThrowUnreadable(error);
    ConcealCurrentPacket();
    if (pending_silence_frames_ > 0) return true;
  }
}

void StreamDecoder::SendNextPacket() {
  if (input_ended_) return;
  bool is_last = false;
  if (!source_->ReadPacket(*packet_, is_last)) {
    input_ended_ = true;
    avcodec_send_packet(codec_.get(), nullptr);
    return;
  }
  const AVRational time_base = source_->stream().time_base;
  std::optional<std::int64_t> expected;
  if (model_) {
    expected = model_->FramesFor(*packet_, is_last);
    if (!expected) model_.reset();
  }
  if (!expected) expected = ExactFrames(packet_->duration, time_base, sample_rate_hz_);
  packet_expected_frames_ = expected.value_or(0);
  packet_frames_ = 0;
  packet_failed_ = false;
  packet_budget_frames_.reset();
  if (is_mpeg_audio_) packet_sample_rate_hz_ = MpegAudioSampleRateHz(packet_->data, packet_->size);
  if (ends_at_declared_duration_ && is_last) {
    packet_budget_frames_ = ExactFrames(packet_->duration, time_base, sample_rate_hz_);
  }
  ++packets_sent_;
  int error = avcodec_send_packet(codec_.get(), packet_.get());
  if (error < 0 && error != AVERROR(EAGAIN)) {
    if (IsOutOfMemory(error)) ThrowUnreadable(error);
    ConcealCurrentPacket();
  }
}

void StreamDecoder::ConcealCurrentPacket() {
  if (!packet_failed_) ++packets_failed_;
  packet_failed_ = true;
  // A damaged packet's duration may be anything (a wrapped granule gives
  // 2^32 frames): it is padded only up to what a packet of this stream has
  // been seen to hold, or what any packet can hold before one decoded.
  const std::int64_t most_frames = std::max<std::int64_t>(
      codec_->frame_size,
      largest_packet_frames_ > 0 ? largest_packet_frames_ : kMostFramesInOnePacket);
  std::int64_t missing = std::min(packet_expected_frames_, most_frames) - packet_frames_;
  if (packet_budget_frames_) {
    missing = std::min(missing, *packet_budget_frames_);
    *packet_budget_frames_ -= std::max<std::int64_t>(missing, 0);
  }
  if (missing <= 0) return;
  pending_silence_frames_ += missing;
  packet_frames_ += missing;
}

std::int64_t StreamDecoder::Convert(float* const* planes, std::int64_t offset,
                                    std::int64_t space_frames) {
  if (pending_silence_frames_ > 0) return WriteSilence(planes, offset, space_frames);
  if (resampler_may_hold_output_) {
    std::int64_t frames = DrainResampler(planes, offset, space_frames, /*flush=*/false);
    if (frames > 0) return frames;
  }
  if (frame_offset_ >= frame_end_) return 0;
  const int frame_rate_hz = frame_->sample_rate > 0 ? frame_->sample_rate : sample_rate_hz_;
  if (frame_rate_hz == sample_rate_hz_ && frame_->ch_layout.nb_channels == channel_count_) {
    // The tail of an earlier, different format comes first.
    if (resampler_) {
      std::int64_t frames = DrainResampler(planes, offset, space_frames, /*flush=*/true);
      if (frames > 0) return frames;
      if (pending_silence_frames_ > 0) return WriteSilence(planes, offset, space_frames);
    }
    return ConvertDirect(planes, offset,
                         std::min<std::int64_t>(space_frames, frame_end_ - frame_offset_));
  }

  ChannelLayout input_layout;
  NormalizeLayout(frame_->ch_layout, input_layout);
  bool same_input =
      resampler_ && resampler_input_format_ == frame_->format &&
      resampler_input_rate_hz_ == frame_rate_hz &&
      av_channel_layout_compare(input_layout.get(), resampler_input_layout_.get()) == 0;
  if (resampler_ && !same_input) {
    std::int64_t frames = DrainResampler(planes, offset, space_frames, /*flush=*/true);
    if (frames > 0) return frames;
    if (pending_silence_frames_ > 0) return WriteSilence(planes, offset, space_frames);
  }
  if (!resampler_) ConfigureResampler();
  const int input_frames = frame_end_ - frame_offset_;
  resampler_input_frames_ += input_frames;
  SetOutputPointers(planes, offset);
  SetInputPointers();
  int frames = swr_convert(
      resampler_.get(), output_pointers_.data(),
      static_cast<int>(std::min({space_frames, ResamplerAllowance(), std::int64_t{INT_MAX}})),
      input_pointers_.data(), input_frames);
  if (frames < 0) ThrowUnreadable(frames);
  // The resampler keeps what did not fit.
  frame_offset_ = frame_end_;
  resampler_output_frames_ += frames;
  resampler_may_hold_output_ = true;
  return frames;
}

std::int64_t StreamDecoder::ConvertDirect(float* const* planes, std::int64_t offset,
                                          std::int64_t frames) {
  const auto sample_format = static_cast<AVSampleFormat>(frame_->format);
  if (sample_format == AV_SAMPLE_FMT_FLTP ||
      (sample_format == AV_SAMPLE_FMT_FLT && channel_count_ == 1)) {
    for (int c = 0; c < channel_count_; ++c) {
      const auto* source = reinterpret_cast<const float*>(frame_->extended_data[c]);
      std::memcpy(planes[c] + offset, source + frame_offset_,
                  static_cast<size_t>(frames) * sizeof(float));
    }
  } else {
    if (!converter_ || converter_input_format_ != frame_->format) {
      // Same layout on both sides: a change of sample format only, which
      // swresample does sample for sample without buffering.
      SwrContext* context = nullptr;
      int error = swr_alloc_set_opts2(&context, layout_.get(), AV_SAMPLE_FMT_FLTP, sample_rate_hz_,
                                      layout_.get(), sample_format, sample_rate_hz_, 0, nullptr);
      converter_.reset(context);
      if (error >= 0) error = swr_init(context);
      if (error < 0) ThrowUnreadable(error);
      converter_input_format_ = frame_->format;
    }
    SetOutputPointers(planes, offset);
    SetInputPointers();
    int converted = swr_convert(converter_.get(), output_pointers_.data(), static_cast<int>(frames),
                                input_pointers_.data(), static_cast<int>(frames));
    if (converted < 0) ThrowUnreadable(converted);
    frames = converted;
  }
  frame_offset_ += static_cast<int>(frames);
  return frames;
}

std::int64_t StreamDecoder::DrainResampler(float* const* planes, std::int64_t offset,
                                           std::int64_t space_frames, bool flush) {
  if (!resampler_) return 0;
  int frames = 0;
  if (const std::int64_t allowance = ResamplerAllowance(); allowance > 0) {
    SetOutputPointers(planes, offset);
    // A null input flushes the filter's tail; an empty one only takes what
    // is ready.
    const std::uint8_t* no_samples[1] = {nullptr};
    frames =
        swr_convert(resampler_.get(), output_pointers_.data(),
                    static_cast<int>(std::min({space_frames, allowance, std::int64_t{INT_MAX}})),
                    flush ? nullptr : no_samples, 0);
    if (frames < 0) ThrowUnreadable(frames);
  }
  resampler_output_frames_ += frames;
  if (frames == 0) {
    resampler_may_hold_output_ = false;
    if (flush) {
      // Exactly the input's duration comes out, whatever the filter's edges
      // did, so that the count from packet durations holds.
      pending_silence_frames_ += ResamplerAllowance();
      resampler_.reset();
      resampler_input_frames_ = 0;
      resampler_output_frames_ = 0;
    }
  }
  return frames;
}

std::int64_t StreamDecoder::ResamplerAllowance() const {
  return resampler_input_frames_ * sample_rate_hz_ / resampler_input_rate_hz_ -
         resampler_output_frames_;
}

std::int64_t StreamDecoder::WriteSilence(float* const* planes, std::int64_t offset,
                                         std::int64_t space_frames) {
  const std::int64_t frames = std::min(space_frames, pending_silence_frames_);
  for (int c = 0; c < channel_count_; ++c) std::fill_n(planes[c] + offset, frames, 0.0f);
  pending_silence_frames_ -= frames;
  return frames;
}

void StreamDecoder::ConfigureResampler() {
  NormalizeLayout(frame_->ch_layout, resampler_input_layout_);
  const int frame_rate_hz = frame_->sample_rate > 0 ? frame_->sample_rate : sample_rate_hz_;
  SwrContext* context = nullptr;
  int error = swr_alloc_set_opts2(
      &context, layout_.get(), AV_SAMPLE_FMT_FLTP, sample_rate_hz_, resampler_input_layout_.get(),
      static_cast<AVSampleFormat>(frame_->format), frame_rate_hz, 0, nullptr);
  resampler_.reset(context);
  if (error >= 0) error = swr_init(context);
  if (error < 0) ThrowUnreadable(error);
  resampler_input_format_ = frame_->format;
  resampler_input_rate_hz_ = frame_rate_hz;
}

void StreamDecoder::SetOutputPointers(float* const* planes, std::int64_t offset) {
  for (int c = 0; c < channel_count_; ++c) {
    output_pointers_[static_cast<size_t>(c)] = reinterpret_cast<std::uint8_t*>(planes[c] + offset);
  }
}

void StreamDecoder::SetInputPointers() {
  const auto sample_format = static_cast<AVSampleFormat>(frame_->format);
  const int bytes_per_sample = av_get_bytes_per_sample(sample_format);
  const int channels = frame_->ch_layout.nb_channels;
  if (av_sample_fmt_is_planar(sample_format)) {
    input_pointers_.resize(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
      input_pointers_[static_cast<size_t>(c)] =
          frame_->extended_data[c] + static_cast<std::ptrdiff_t>(frame_offset_) * bytes_per_sample;
    }
  } else {
    input_pointers_.assign(
        1, frame_->extended_data[0] +
               static_cast<std::ptrdiff_t>(frame_offset_) * bytes_per_sample * channels);
  }
}

void StreamDecoder::ThrowUnreadable(int error) const {
  throw FileError(kAVAudioFileErrorUnreadable, source_->path(),
                  IsOutOfMemory(error) ? kDamagedReason : FfmpegErrorText(error));
}

}  // namespace plim::avfaudio
