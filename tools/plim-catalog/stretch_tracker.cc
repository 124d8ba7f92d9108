#include "tools/plim-catalog/stretch_tracker.h"

#include <algorithm>
#include <cmath>

namespace plim {
namespace {

// Where the recording's start falls in the stream, by this window's alignment.
double AnchorS(const WindowMatch& m) { return m.window_start_s - m.offset_s / m.speed; }

double StretchAnchorS(const Stretch& s) { return s.start_s - s.recording_offset_s / s.speed; }

// A window may be missed between two of one group: the next but one is
// still joined, one more hop is not.
constexpr double kGroupReachHops = 2.5;

}  // namespace

StretchTracker::StretchTracker(double window_hop_s, StretchSink on_start, StretchSink on_end)
    : window_hop_s_(window_hop_s), on_start_(std::move(on_start)), on_end_(std::move(on_end)) {}

Stretch StretchTracker::Merged::Value() const {
  Stretch v = parts.front();
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const Stretch& s = parts[i];
    if (s.windows > v.windows) v.speed = s.speed;
    v.end_s = std::max(v.end_s, s.end_s);
    v.windows += s.windows;
    v.confidence = std::max(v.confidence, s.confidence);
  }
  return v;
}

Stretch StretchTracker::GroupStretch(const Group& g) const {
  Stretch s;
  s.recording = g.first.recording;
  s.windows = static_cast<int>(g.speeds.size());
  s.confidence = g.confidence;
  std::vector<double> speeds = g.speeds;
  std::nth_element(speeds.begin(), speeds.begin() + static_cast<std::ptrdiff_t>(speeds.size() / 2),
                   speeds.end());
  s.speed = speeds[speeds.size() / 2];
  s.start_s = g.first.heard_s ? g.first.heard_s->first : g.first.window_start_s;
  s.end_s = g.last.heard_s ? g.last.heard_s->second : g.last.window_start_s + 2 * window_hop_s_;
  // Nothing of a recording plays before its start or after its end.
  s.start_s = std::max(s.start_s, AnchorS(g.first));
  s.end_s = std::min(s.end_s, AnchorS(g.last) + g.last.recording_duration_s / g.last.speed);
  s.recording_offset_s =
      std::max(0.0, g.first.offset_s + (s.start_s - g.first.window_start_s) * g.first.speed);
  return s;
}

bool StretchTracker::OtherStarted(catalog::RecordingId recording, double from_s,
                                  double to_s) const {
  return std::any_of(part_starts_.begin(), part_starts_.end(), [&](const auto& p) {
    return p.first != recording && p.second >= from_s && p.second < to_s;
  });
}

void StretchTracker::Place(Group& g) {
  const Stretch s = GroupStretch(g);
  if (s.end_s <= s.start_s) return;
  // A recording built of loops aligns each window with whichever repeat
  // fits it best, and a quiet passage leaves windows unmatched: one
  // recording heard again right after itself, or at the same alignment a
  // little later, is still the same playing, unless another recording
  // started in between.
  Merged* latest = nullptr;
  for (auto m = merged_.rbegin(); m != merged_.rend() && latest == nullptr; ++m) {
    if (m->recording == s.recording && m->latest) latest = &*m;
  }
  bool joins = false;
  if (latest != nullptr) {
    const Stretch v = latest->Value();
    const bool same_start = std::abs(StretchAnchorS(v) - StretchAnchorS(s)) <= kAnchorToleranceS;
    joins = s.start_s <= v.end_s + (same_start ? kQuietGapS : kMergeGapS) &&
            !OtherStarted(s.recording, latest->last_part_start_s, s.start_s);
  }
  if (!joins) {
    if (latest != nullptr) latest->latest = false;
    latest = &merged_.emplace_back();
    latest->recording = s.recording;
  }
  latest->parts.push_back(s);
  latest->last_part_start_s = s.start_s;
  ++latest->open_groups;
  g.merged = latest;
  g.part = latest->parts.size() - 1;
  part_starts_.emplace_back(s.recording, s.start_s);
}

bool StretchTracker::MayGrow(const Merged& m, double from_s) const {
  if (!m.latest) return false;
  if (from_s > m.Value().end_s + kQuietGapS) return false;
  return !OtherStarted(m.recording, m.last_part_start_s, from_s);
}

void StretchTracker::Announce(Merged& m) {
  if (m.announced) return;
  const Stretch v = m.Value();
  // A moment of likeness between two recordings (a shared loop, a sample)
  // can pass for a match in one window; a recording that plays is heard
  // longer.
  if (v.end_s - v.start_s < kMinStretchS) return;
  m.announced = true;
  on_start_(v);
}

void StretchTracker::Close(std::list<Merged>::iterator m) {
  Announce(*m);
  if (m->announced) on_end_(m->Value());
  merged_.erase(m);
}

void StretchTracker::AddWindow(double window_start_s, std::span<const WindowMatch> matches) {
  std::vector<WindowMatch> sorted(matches.begin(), matches.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const WindowMatch& a, const WindowMatch& b) {
    return a.recording < b.recording;
  });
  for (const WindowMatch& m : sorted) {
    Group* joined = nullptr;
    for (auto g = groups_.rbegin(); g != groups_.rend() && joined == nullptr; ++g) {
      const double gap_s = m.window_start_s - g->last.window_start_s;
      // A recording playing twice, or at two alignments in one window, is two stretches.
      if (g->last.recording == m.recording && gap_s > 0 &&
          gap_s <= kGroupReachHops * window_hop_s_ &&
          std::abs(AnchorS(m) - AnchorS(g->last)) <= kAnchorToleranceS) {
        joined = &*g;
      }
    }
    if (joined == nullptr) {
      joined = &groups_.emplace_back();
      joined->first = m;
    }
    joined->last = m;
    joined->speeds.push_back(m.speed);
    joined->confidence = std::max(joined->confidence, m.confidence);
    if (joined->merged != nullptr) {
      joined->merged->parts[joined->part] = GroupStretch(*joined);
    } else {
      Place(*joined);
    }
  }

  for (auto g = groups_.begin(); g != groups_.end();) {
    if (window_start_s - g->last.window_start_s <= kGroupReachHops * window_hop_s_) {
      ++g;
      continue;
    }
    if (g->merged != nullptr) --g->merged->open_groups;
    g = groups_.erase(g);
  }

  // Later windows, and more matches of this one, hear a recording from the
  // window before theirs at the earliest. What ends is said before what
  // starts at the same window.
  for (auto m = merged_.begin(); m != merged_.end();) {
    double from_s = window_start_s - window_hop_s_;
    for (const Group& g : groups_) {
      if (g.merged == nullptr && g.first.recording == m->recording) {
        from_s = std::min(from_s, g.first.window_start_s - window_hop_s_);
      }
    }
    if (m->open_groups == 0 && !MayGrow(*m, from_s)) {
      Close(m++);
    } else {
      ++m;
    }
  }
  for (Merged& m : merged_) Announce(m);

  double needed_from_s = window_start_s - window_hop_s_;
  for (const Merged& m : merged_) needed_from_s = std::min(needed_from_s, m.last_part_start_s);
  std::erase_if(part_starts_, [&](const auto& p) { return p.second < needed_from_s; });
}

void StretchTracker::AmendMatch(const WindowMatch& before, const WindowMatch& after) {
  for (Group& g : groups_) {
    if (!SameMatch(g.last, before)) continue;
    if (SameMatch(g.first, before) && (g.merged == nullptr || !g.merged->announced)) {
      g.first = after;
    }
    g.last = after;
    g.speeds.back() = after.speed;
    g.confidence = std::max(g.confidence, after.confidence);
    if (g.merged != nullptr) {
      g.merged->parts[g.part] = GroupStretch(g);
    } else {
      Place(g);
    }
    // Heard long enough now, perhaps: a previewed window is amended as more
    // of it comes, with no window added meanwhile.
    if (g.merged != nullptr) Announce(*g.merged);
    return;
  }
}

void StretchTracker::Finish() {
  groups_.clear();
  while (!merged_.empty()) Close(merged_.begin());
  part_starts_.clear();
}

}  // namespace plim
