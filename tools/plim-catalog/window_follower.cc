#include "tools/plim-catalog/window_follower.h"

#include <algorithm>

#include "platform/fingerprint/landmark_hasher.h"

namespace plim {
namespace {

// A recording plays through many overlapping windows, so one window need not
// try as hard as a lone clip: only its best-nominated candidates are placed
// again from their peaks, and in a catalog of hundreds of hours only a
// window's rarer hashes are looked at (its hits bounded as a lone clip's
// first pass is).
constexpr matching::MatchEffort kWindowEffort{.realigned_candidates = 4, .max_hits = 50'000};

template <typename List>
bool AcceptedIn(const List& list, catalog::RecordingId recording) {
  return std::any_of(list.begin(), list.end(),
                     [&](const auto& a) { return a.candidate.recording == recording; });
}

// The same alignment, for a window starting `shift_s` later.
matching::MatchCandidate Shifted(matching::MatchCandidate c, double shift_s) {
  c.offset_s += shift_s * c.speed;
  return c;
}

void ExtendStart(WindowMatch& m, std::optional<std::pair<double, double>> before) {
  if (!before) return;
  if (!m.heard_s) m.heard_s.emplace(m.window_start_s, m.window_start_s + 2 * kWindowHopS);
  m.heard_s->first = std::min(m.heard_s->first, before->first);
}

void ExtendEnd(WindowMatch& m, std::optional<std::pair<double, double>> after) {
  if (!after) return;
  if (!m.heard_s) m.heard_s.emplace(m.window_start_s, m.window_start_s + 2 * kWindowHopS);
  m.heard_s->second = std::max(m.heard_s->second, after->second);
}

}  // namespace

WindowFollower::WindowFollower(const catalog::CatalogReader& reader, MatchSink on_window,
                               AmendSink on_amend)
    : reader_(&reader), on_window_(std::move(on_window)), on_amend_(std::move(on_amend)) {}

void WindowFollower::Follow(AudioWindow window) {
  const std::vector<fingerprint::Landmark> landmarks = fingerprint::QueryLandmarks(window.peaks);
  std::vector<WindowMatch> matches;
  std::vector<Accepted> accepted;
  auto peaks = std::make_unique<matching::QueryPeaks>(window.peaks);
  if (!landmarks.empty()) {
    const matching::MatchReport report =
        matching::FindMatches(*reader_, landmarks, window.peaks, kWindowEffort);
    for (const matching::MatchCandidate& c : report.candidates) {
      if (!c.accepted) break;  // accepted ones come first
      std::optional<catalog::Recording> recording = reader_->GetRecording(c.recording);
      if (!recording) continue;
      WindowMatch m;
      m.window_start_s = window.start_s;
      m.recording = c.recording;
      m.recording_duration_s = recording->duration_s;
      m.offset_s = c.offset_s;
      m.speed = c.speed;
      m.confidence = c.confidence;
      m.heard_s = Heard(*peaks, window.start_s, c);
      matches.push_back(m);
      accepted.push_back({matches.size() - 1, c});
    }
  }
  if (previous_peaks_ != nullptr) {
    const double shift_s = window.start_s - previous_start_s_;
    for (const Accepted& a : accepted) {
      if (!AcceptedIn(previous_, a.candidate.recording)) {
        ExtendStart(matches[a.index],
                    Heard(*previous_peaks_, previous_start_s_, Shifted(a.candidate, -shift_s)));
      }
    }
    for (const Accepted& a : previous_) {
      if (!AcceptedIn(accepted, a.candidate.recording)) {
        WindowMatch& m = previous_matches_[a.index];
        const std::optional<std::pair<double, double>> heard_before = m.heard_s;
        ExtendEnd(m, Heard(*peaks, window.start_s, Shifted(a.candidate, shift_s)));
        if (m.heard_s != heard_before) on_amend_(m);
      }
    }
  }
  on_window_(window.start_s, matches);
  previous_matches_ = std::move(matches);
  previous_ = std::move(accepted);
  previous_peaks_ = std::move(peaks);
  previous_start_s_ = window.start_s;
}

void WindowFollower::Finish() {
  previous_matches_.clear();
  previous_.clear();
  previous_peaks_.reset();
}

std::optional<std::pair<double, double>> WindowFollower::Heard(const matching::QueryPeaks& window,
                                                               double window_start_s,
                                                               const matching::MatchCandidate& c) {
  const double offset_frames = c.offset_s / fingerprint::kFrameDurationS;
  reference_.clear();
  reader_->ReadPeaks(c.recording, offset_frames - 2,
                     offset_frames + (window.duration_frames() + 2) * c.speed, reference_);
  return HeardSpan(window, window_start_s, reference_, c);
}

}  // namespace plim
