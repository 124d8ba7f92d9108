#include "tools/plim-catalog/window_follower.h"

#include <algorithm>
#include <cmath>

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

void WindowFollower::Follow(AudioWindow window) { Match(std::move(window), true); }

void WindowFollower::Preview(AudioWindow partial) { Match(std::move(partial), false); }

void WindowFollower::Match(AudioWindow window, bool whole) {
  if (previewed_start_s_ && *previewed_start_s_ != window.start_s) {
    // Previews of a window that never came whole.
    previewed_start_s_.reset();
    previewed_told_ = false;
    previewed_matches_.clear();
    previewed_.clear();
  }
  // Whether this window's start was handed out already, by a preview.
  const bool told = previewed_start_s_.has_value() && previewed_told_;
  auto peaks = std::make_unique<matching::QueryPeaks>(window.peaks);
  // This window's matches, as handed out: those of its previews first.
  std::vector<WindowMatch> matches = std::move(previewed_matches_);
  std::vector<Accepted> accepted = std::move(previewed_);
  const std::size_t from_previews = accepted.size();
  std::vector<bool> again(from_previews, false);
  std::vector<std::size_t> fresh;  // into accepted: new to this window
  const std::vector<fingerprint::Landmark> landmarks = fingerprint::QueryLandmarks(window.peaks);
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
      // Accepted in a preview of this window at the same alignment: more of it heard.
      std::size_t same = 0;
      while (same < from_previews &&
             (again[same] || accepted[same].candidate.recording != c.recording ||
              std::abs(accepted[same].candidate.offset_s / accepted[same].candidate.speed -
                       c.offset_s / c.speed) > kAnchorToleranceS)) {
        ++same;
      }
      if (same < from_previews) {
        WindowMatch& before = matches[accepted[same].index];
        ExtendStart(m, before.heard_s);
        on_amend_(before, m);
        before = m;
        accepted[same].candidate = c;
        again[same] = true;
        continue;
      }
      matches.push_back(m);
      accepted.push_back({matches.size() - 1, c});
      fresh.push_back(accepted.size() - 1);
    }
  }
  // Accepted in a preview only: heard as far as this window hears it.
  for (std::size_t i = 0; i < from_previews; ++i) {
    if (again[i]) continue;
    WindowMatch& m = matches[accepted[i].index];
    const WindowMatch before = m;
    ExtendEnd(m, Heard(*peaks, window.start_s, accepted[i].candidate));
    if (m.heard_s != before.heard_s) on_amend_(before, m);
  }
  if (previous_peaks_ != nullptr) {
    const double shift_s = window.start_s - previous_start_s_;
    for (std::size_t i : fresh) {
      const Accepted& a = accepted[i];
      if (!AcceptedIn(previous_, a.candidate.recording)) {
        ExtendStart(matches[a.index],
                    Heard(*previous_peaks_, previous_start_s_, Shifted(a.candidate, -shift_s)));
      }
    }
    if (whole) {
      for (const Accepted& a : previous_) {
        if (!AcceptedIn(accepted, a.candidate.recording)) {
          WindowMatch& m = previous_matches_[a.index];
          const WindowMatch before = m;
          ExtendEnd(m, Heard(*peaks, window.start_s, Shifted(a.candidate, shift_s)));
          if (m.heard_s != before.heard_s) on_amend_(before, m);
        }
      }
    }
  }
  if (!fresh.empty() || (whole && !told)) {
    std::vector<WindowMatch> handed;
    for (std::size_t i : fresh) handed.push_back(matches[accepted[i].index]);
    on_window_(window.start_s, std::move(handed));
  }
  if (!whole) {
    previewed_told_ = told || !fresh.empty();
    previewed_start_s_ = window.start_s;
    previewed_matches_ = std::move(matches);
    previewed_ = std::move(accepted);
    return;
  }
  previewed_start_s_.reset();
  previewed_told_ = false;
  previewed_matches_.clear();
  previewed_.clear();
  previous_matches_ = std::move(matches);
  previous_ = std::move(accepted);
  previous_peaks_ = std::move(peaks);
  previous_start_s_ = window.start_s;
}

void WindowFollower::Finish() {
  previous_matches_.clear();
  previous_.clear();
  previous_peaks_.reset();
  previewed_start_s_.reset();
  previewed_told_ = false;
  previewed_matches_.clear();
  previewed_.clear();
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
