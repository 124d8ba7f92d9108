#include "tools/plim-catalog/window_follower.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/landmark_hasher.h"
#include "tools/plim-catalog/outline_heard.h"

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

// Where the recording of `m`, accepted as `c`, plays in the stream.
StreamAlignment AlignmentOf(const WindowMatch& m, const matching::MatchCandidate& c) {
  return {.recording = m.recording,
          .anchor_s = m.window_start_s - c.offset_s / c.speed,
          .speed = c.speed,
          .frequency_scale = c.frequency_scale,
          .duration_s = m.recording_duration_s};
}

// Whether two alignments play the same recording from the same point of
// the stream.
bool SamePlacement(const StreamAlignment& a, const StreamAlignment& b) {
  return a.recording == b.recording && std::abs(a.anchor_s - b.anchor_s) <= kAnchorToleranceS;
}

double EndS(const PeakWindow& w) {
  return w.start_s + w.peaks->duration_frames() * fingerprint::kFrameDurationS;
}

// A window's own seconds may hear a recording a little past where one
// beside it takes over (a crossfade): its edges are looked for from this
// far inside them.
constexpr double kEdgeInsideS = 3.0;
// How far before that a recording's start is looked for.
constexpr double kStartReachS = 20.0;
// How long after its last window a recording is still a rival at the
// edges of others: its own end may lie that far on.
constexpr double kRivalMemoryS = 30.0;

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
  if (whole) FollowOutlines(window, matches, accepted, fresh);
  std::vector<PeakWindow> windows;
  for (const Followed& f : history_) windows.push_back({f.start_s, f.peaks.get()});
  windows.push_back({window.start_s, peaks.get()});
  FindStarts(windows, matches, accepted, fresh);
  if (whole) FindEnds(windows, accepted, matches, EndS(windows.back()));
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
  for (const Accepted& a : accepted) {
    const WindowMatch& m = matches[a.index];
    const StreamAlignment heard = AlignmentOf(m, a.candidate);
    auto same = std::find_if(recent_.begin(), recent_.end(),
                             [&](const Recent& r) { return SamePlacement(r.alignment, heard); });
    if (same == recent_.end()) {
      same = recent_.insert(recent_.end(),
                            {heard, m.heard_s ? m.heard_s->first : m.window_start_s, 0.0});
    }
    same->alignment = heard;
    same->last_window_s = window.start_s;
  }
  std::erase_if(recent_,
                [&](const Recent& r) { return r.last_window_s < window.start_s - kRivalMemoryS; });
  history_.push_back({window.start_s, std::move(peaks), std::move(matches), std::move(accepted)});
  if (history_.size() > kEdgeHistoryWindows) history_.pop_front();
}

void WindowFollower::Finish() {
  history_.clear();
  recent_.clear();
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

std::vector<StreamAlignment> WindowFollower::Rivals(catalog::RecordingId recording,
                                                    const std::vector<WindowMatch>& matches,
                                                    const std::vector<Accepted>& accepted) const {
  std::vector<StreamAlignment> rivals;
  const auto add = [&](const std::vector<WindowMatch>& ms, const std::vector<Accepted>& as) {
    for (const Accepted& a : as) {
      const WindowMatch& m = ms[a.index];
      if (m.recording == recording) continue;
      const StreamAlignment r = AlignmentOf(m, a.candidate);
      if (std::none_of(rivals.begin(), rivals.end(),
                       [&](const StreamAlignment& o) { return SamePlacement(o, r); })) {
        rivals.push_back(r);
      }
    }
  };
  for (const Recent& r : recent_) {
    if (r.alignment.recording != recording) rivals.push_back(r.alignment);
  }
  add(matches, accepted);
  return rivals;
}

void WindowFollower::FindStarts(std::span<const PeakWindow> windows,
                                std::vector<WindowMatch>& matches, std::vector<Accepted>& accepted,
                                std::span<const std::size_t> fresh) {
  for (std::size_t i : fresh) {
    Accepted& a = accepted[i];
    if (!history_.empty() && AcceptedIn(history_.back().accepted, a.candidate.recording)) {
      // Its start was looked for in the window before, or is now.
      Followed& previous = history_.back();
      for (Accepted& p : previous.accepted) {
        if (p.candidate.recording != a.candidate.recording || !p.start_pending) continue;
        p.start_pending = false;
        WindowMatch& m = previous.matches[p.index];
        const WindowMatch& again = matches[a.index];
        const double heard_to_s =
            again.heard_s ? again.heard_s->second : again.window_start_s + 2 * kWindowHopS;
        if (!m.heard_s || heard_to_s - m.heard_s->first < kMinStretchS) continue;
        const WindowMatch before = m;
        FindStart(windows, m, p.candidate, matches, accepted);
        if (m.heard_s != before.heard_s) on_amend_(before, m);
      }
      continue;
    }
    WindowMatch& m = matches[a.index];
    // Heard for a moment only, it may be a likeness rather than the
    // recording (timeline.h's kMinStretchS), which looking further would
    // make last: its start waits for the next window.
    if (m.heard_s && m.heard_s->second - m.heard_s->first < kMinStretchS) {
      a.start_pending = true;
      continue;
    }
    FindStart(windows, m, a.candidate, matches, accepted);
  }
}

void WindowFollower::FindStart(std::span<const PeakWindow> windows, WindowMatch& m,
                               const matching::MatchCandidate& c,
                               const std::vector<WindowMatch>& matches,
                               const std::vector<Accepted>& accepted) {
  const double window_end_s = m.window_start_s + 2 * kWindowHopS;
  const double heard_from_s = m.heard_s ? m.heard_s->first : m.window_start_s;
  const double heard_to_s = m.heard_s ? m.heard_s->second : window_end_s;
  const double inside_s = std::min(heard_to_s, heard_from_s + kEdgeInsideS);
  const double start_s =
      FindEdge(*reader_, windows, AlignmentOf(m, c), Rivals(m.recording, matches, accepted),
               EdgeSide::kStart, inside_s, inside_s - kStartReachS);
  m.heard_s.emplace(start_s, heard_to_s);
  for (Recent& r : recent_) {
    if (SamePlacement(r.alignment, AlignmentOf(m, c))) r.start_s = start_s;
  }
  // What it took over from, no longer accepted, ends where it starts.
  std::vector<catalog::RecordingId> seen;
  for (auto f = history_.rbegin(); f != history_.rend(); ++f) {
    for (WindowMatch& before : f->matches) {
      if (before.recording == m.recording || AcceptedIn(accepted, before.recording) ||
          std::find(seen.begin(), seen.end(), before.recording) != seen.end()) {
        continue;
      }
      seen.push_back(before.recording);
      const double before_end_s =
          before.heard_s ? before.heard_s->second : f->start_s + 2 * kWindowHopS;
      if (before_end_s <= start_s) continue;
      WindowMatch after = before;
      const double before_from_s = before.heard_s ? before.heard_s->first : f->start_s;
      after.heard_s.emplace(before_from_s, std::max(before_from_s, start_s));
      on_amend_(before, after);
      before = after;
    }
  }
}

void WindowFollower::FindEnds(std::span<const PeakWindow> windows,
                              const std::vector<Accepted>& accepted,
                              const std::vector<WindowMatch>& matches, double end_s) {
  if (history_.empty()) return;
  Followed& previous = history_.back();
  for (const Accepted& a : previous.accepted) {
    if (AcceptedIn(accepted, a.candidate.recording)) continue;
    WindowMatch& m = previous.matches[a.index];
    const double heard_from_s = m.heard_s ? m.heard_s->first : m.window_start_s;
    const double heard_to_s =
        m.heard_s ? m.heard_s->second : EndS({previous.start_s, previous.peaks.get()});
    const StreamAlignment own = AlignmentOf(m, a.candidate);
    const double own_start_s = OwnStartS(m, a.candidate);
    // Heard for a moment only, it may be a likeness (as for starts).
    if (heard_to_s - own_start_s < kMinStretchS) continue;
    const double inside_s = std::max(heard_from_s, heard_to_s - kEdgeInsideS);
    // Where its outline was last heard is as far as its peaks would be.
    double found_s = a.by_outline
                         ? heard_to_s
                         : FindEdge(*reader_, windows, own, Rivals(m.recording, matches, accepted),
                                    EdgeSide::kEnd, inside_s, end_s);
    // A mix plays one recording at a time: what starts after it ends it.
    const auto end_at = [&](double start_s) {
      if (start_s > own_start_s) found_s = std::min(found_s, start_s);
    };
    for (const Recent& r : recent_) {
      if (r.alignment.recording != m.recording) end_at(r.start_s);
    }
    for (const WindowMatch& other : matches) {
      if (other.recording != m.recording && other.heard_s) end_at(other.heard_s->first);
    }
    if (m.heard_s && m.heard_s->second == found_s) continue;
    const WindowMatch before = m;
    m.heard_s.emplace(std::min(heard_from_s, found_s), found_s);
    on_amend_(before, m);
  }
}

double WindowFollower::OwnStartS(const WindowMatch& m, const matching::MatchCandidate& c) const {
  double start_s = m.heard_s ? m.heard_s->first : m.window_start_s;
  const StreamAlignment own = AlignmentOf(m, c);
  for (const Recent& r : recent_) {
    if (SamePlacement(r.alignment, own)) start_s = std::min(start_s, r.start_s);
  }
  return start_s;
}

void WindowFollower::FollowOutlines(const AudioWindow& window, std::vector<WindowMatch>& matches,
                                    std::vector<Accepted>& accepted,
                                    std::vector<std::size_t>& fresh) {
  if (history_.empty() || window.outline.frames() == 0) return;
  const Followed& previous = history_.back();
  for (const Accepted& a : previous.accepted) {
    if (AcceptedIn(accepted, a.candidate.recording)) continue;
    const WindowMatch& before = previous.matches[a.index];
    const double heard_to_s =
        before.heard_s ? before.heard_s->second : previous.start_s + 2 * kWindowHopS;
    // A likeness heard for a moment must not be carried on by its outline.
    if (heard_to_s - OwnStartS(before, a.candidate) < kMinStretchS) continue;
    const StreamAlignment own = AlignmentOf(before, a.candidate);
    const std::optional<std::pair<double, double>> heard =
        OutlineHeardSpan(*reader_, window.outline, window.start_s, own);
    if (!heard || heard->second < window.start_s + kWindowHopS) continue;
    WindowMatch m = before;
    m.window_start_s = window.start_s;
    m.offset_s = (window.start_s - own.anchor_s) * own.speed;
    m.heard_s = heard;
    matching::MatchCandidate c = a.candidate;
    c.offset_s = m.offset_s;
    matches.push_back(m);
    accepted.push_back({.index = matches.size() - 1, .candidate = c, .by_outline = true});
    fresh.push_back(accepted.size() - 1);
  }
}

}  // namespace plim
