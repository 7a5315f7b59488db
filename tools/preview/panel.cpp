// folian_preview: the stand-in panel's updates.  The stand-in EPDC logs
// every update it accepts and writes the panel's picture after it; each is
// shown once the panel has finished the one before, a full refresh flashing
// its rectangle for half its waveform's time.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "preview.h"

namespace {

constexpr Uint32 kMarkMs = 2000;
constexpr Uint32 kSnapshotPatienceMs = 3000;

// The panel's own time for one update with each waveform: a full refresh
// flashes this long.  Typical figures of an EPDC panel at room temperature;
// AUTO lets the driver choose, which for a page of text is usually GC16.
struct Waveform {
  const char* name;
  int ms;
};

Waveform waveform_of(const std::string& kind, unsigned number) {
  bool classic = kind == "classic";
  switch (number) {
    case 1:
      return {"DU", 260};
    case 2:
      return {"GC16", 450};
    case 257:
      return {"AUTO", 450};
  }
  if (classic && number == 5) return {"GL16", 450};
  if (classic && number == 8) return {"REAGL", 380};
  if (!classic && number == 4) return {"REAGL", 380};
  if (!classic && number == 7) return {"DU4", 290};
  return {"?", 450};
}

bool parse_update(const std::string& line, Update* u) {
  char kind[16];
  if (sscanf(line.c_str(), "update kind=%15s marker=%*u region=%u,%u %ux%u waveform=%u mode=%u",
             kind, &u->x, &u->y, &u->w, &u->h, &u->waveform, &u->mode) != 7)
    return false;
  u->kind = kind;
  return true;
}

// The snapshot once the stand-in has written all of it.
bool load_snapshot(Preview& p, int index) {
  char name[64];
  snprintf(name, sizeof name, "/snaps/update_%04d.pgm", index);
  FILE* f = fopen((p.run_dir + name).c_str(), "rb");
  if (!f) return false;
  unsigned w = 0, h = 0;
  int maxval = 0;
  bool ok = fscanf(f, "P5 %u %u %d", &w, &h, &maxval) == 3 && fgetc(f) == '\n' &&
            (int)w == p.opt.width && (int)h == p.opt.height && maxval == 255;
  if (ok) {
    p.snap.resize((size_t)w * h);
    ok = fread(p.snap.data(), 1, p.snap.size(), f) == p.snap.size();
  }
  fclose(f);
  return ok;
}

void apply(Preview& p, const Update& u) {
  Uint32 now = SDL_GetTicks();
  Waveform wf = waveform_of(u.kind, u.waveform);
  bool full = u.mode == 1;
  SDL_Rect whole = {0, 0, p.opt.width, p.opt.height};
  SDL_Rect r = {(int)u.x, (int)u.y, (int)u.w, (int)u.h};
  if (!SDL_IntersectRect(&r, &whole, &r)) r = {0, 0, 0, 0};
  // A clean-up refreshes the union of the fast refreshes before it, which
  // may be the whole panel.
  Kind kind = Kind::kPartial;
  if (full) {
    bool cleanup = !SDL_RectEmpty(&p.fast_run) && SDL_RectEquals(&r, &p.fast_run);
    kind = SDL_RectEquals(&r, &whole) && !cleanup ? Kind::kFlash : Kind::kCleanup;
    p.fast_run = {};
  } else if (strcmp(wf.name, "DU") == 0) {
    kind = Kind::kFast;
    SDL_UnionRect(&p.fast_run, &r, &p.fast_run);
  }
  if (r.w > 0 && r.h > 0) {
    for (int y = r.y; y < r.y + r.h; y++) {
      size_t at = (size_t)y * p.opt.width + r.x;
      memcpy(p.shown.data() + at, p.snap.data() + at, (size_t)r.w);
    }
    // A full refresh drives every pixel of its rectangle through the
    // inverse before settling on the picture; that flash is what a reader
    // sees.
    window_upload(p, r, full);
  }
  if (full) {
    p.flash_rect = r;
    p.flash_until = now + (Uint32)wf.ms / 2;
    p.busy_until = now + (Uint32)wf.ms;
  }
  p.frames++;
  p.per_kind[look(kind).name]++;
  p.per_waveform[wf.name]++;
  char text[160];
  snprintf(text, sizeof text, "%s (%u,%u) %ux%u %s", look(kind).name, u.x, u.y, u.w, u.h, wf.name);
  p.last = text;
  std::string label = wf.name;
  if (kind == Kind::kCleanup) label += " clean-up";
  p.marks.push_back({r, label, kind, now + kMarkMs});
  p.dirty = true;
  printf("shown update %d %s\n", u.index, text);
  fflush(stdout);
}

}  // namespace

void panel_read_updates(Preview& p) {
  for (const std::string& line : new_lines(p.epdc_log, p.run_dir + "/epdc.log")) {
    if (line.rfind("update ", 0) != 0) continue;
    Update u;
    // Every accepted update has its snapshot, whether or not we can read the line.
    u.index = p.next_index++;
    if (!parse_update(line, &u)) {
      p.notice = "unreadable EPDC log line: " + line;
      p.dirty = true;
      continue;
    }
    u.seen_ms = SDL_GetTicks();
    p.pending.push_back(u);
  }
}

void panel_advance(Preview& p) {
  Uint32 now = SDL_GetTicks();
  if (p.flash_until && SDL_TICKS_PASSED(now, p.flash_until)) {
    p.flash_until = 0;
    window_upload(p, p.flash_rect, false);
    p.dirty = true;
  }
  while (!p.pending.empty() && SDL_TICKS_PASSED(now, p.busy_until)) {
    const Update& u = p.pending.front();
    if (!load_snapshot(p, u.index)) {
      if (!SDL_TICKS_PASSED(now, u.seen_ms + kSnapshotPatienceMs)) break;
      p.notice = "no snapshot for update " + std::to_string(u.index);
      p.dirty = true;
      p.pending.pop_front();
      continue;
    }
    apply(p, u);
    p.pending.pop_front();
  }
  size_t before = p.marks.size();
  p.marks.erase(std::remove_if(p.marks.begin(), p.marks.end(),
                               [&](const Mark& m) { return SDL_TICKS_PASSED(now, m.until); }),
                p.marks.end());
  if (p.marks.size() != before && p.opt.overlay) p.dirty = true;
}
