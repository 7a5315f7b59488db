// folian_preview: the window and drawing.  The panel's picture is a
// texture in the panel's 16 gray levels, scaled to the desktop; below it the
// status bar, and over it, when the overlay is on, the rectangles of recent
// updates.
#include <stdio.h>

#include <algorithm>
#include <string>

#include "preview.h"

namespace {

// The panel shows 16 gray levels, 0, 17, ..., 255: a gray of the
// framebuffer between two of them is shown as the nearer.  That is what
// makes an undithered gradient a staircase of bands, and why dithering
// helps.
uint8_t panel_level(uint8_t v) { return (uint8_t)((v + 8) / 17 * 17); }

void draw_text(Preview& p, const std::string& text, int x, int y, SDL_Color color) {
  if (!p.font || text.empty()) return;
  SDL_Surface* s = TTF_RenderUTF8_Blended(p.font, text.c_str(), color);
  if (!s) return;
  SDL_Texture* t = SDL_CreateTextureFromSurface(p.renderer, s);
  SDL_Rect dst = {x, y, s->w, s->h};
  SDL_FreeSurface(s);
  if (!t) return;
  SDL_RenderCopy(p.renderer, t, nullptr, &dst);
  SDL_DestroyTexture(t);
}

}  // namespace

// Copies a rectangle of `shown` into the texture, inverted during a flash.
void window_upload(Preview& p, const SDL_Rect& r, bool inverted) {
  void* pixels;
  int pitch;
  if (SDL_LockTexture(p.panel, &r, &pixels, &pitch) != 0) return;
  for (int y = 0; y < r.h; y++) {
    const uint8_t* src = p.shown.data() + (size_t)(r.y + y) * p.opt.width + r.x;
    uint32_t* dst = (uint32_t*)((uint8_t*)pixels + (size_t)y * pitch);
    for (int x = 0; x < r.w; x++) {
      uint32_t g = panel_level(src[x]);
      if (inverted) g = 255u - g;
      dst[x] = 0xFF000000u | g << 16 | g << 8 | g;
    }
  }
  SDL_UnlockTexture(p.panel);
}

void window_render(Preview& p) {
  SDL_SetRenderDrawColor(p.renderer, 40, 40, 40, 255);
  SDL_RenderClear(p.renderer);
  SDL_Rect panel = {0, 0, p.panel_w, p.panel_h};
  SDL_RenderCopy(p.renderer, p.panel, nullptr, &panel);
  if (p.opt.overlay) {
    for (const Mark& m : p.marks) {
      SDL_Rect r = {(int)(m.r.x * p.scale), (int)(m.r.y * p.scale),
                    std::max(2, (int)(m.r.w * p.scale)), std::max(2, (int)(m.r.h * p.scale))};
      SDL_Color c = look(m.kind).colour;
      SDL_SetRenderDrawColor(p.renderer, c.r, c.g, c.b, 255);
      for (int i = 0; i < 3; i++) {
        SDL_Rect edge = {r.x + i, r.y + i, r.w - 2 * i, r.h - 2 * i};
        SDL_RenderDrawRect(p.renderer, &edge);
      }
      int tw = 0, th = 0;
      if (p.font) TTF_SizeUTF8(p.font, m.label.c_str(), &tw, &th);
      SDL_Rect tag = {r.x + 3, r.y + 3, tw + 10, th + 2};
      SDL_RenderFillRect(p.renderer, &tag);
      draw_text(p, m.label, r.x + 8, r.y + 4, {255, 255, 255, 255});
    }
  }
  SDL_SetRenderDrawColor(p.renderer, 24, 24, 24, 255);
  SDL_Rect bar = {0, p.panel_h, p.panel_w, p.bar_h};
  SDL_RenderFillRect(p.renderer, &bar);
  int line = p.font ? TTF_FontLineSkip(p.font) : 0;
  draw_text(p, controls_status_line(p), 6, p.panel_h + 4, {235, 235, 235, 255});
  draw_text(p, controls_modes_text(p.modes), 6, p.panel_h + 4 + line, {235, 235, 235, 255});
  std::string help =
      "mouse: finger | PgDn, \u2192, \u2193: next | PgUp, \u2190, \u2191: back | o: overlay " +
      std::string(p.opt.overlay ? "on" : "off") + " | s: sleep | w: wake | r: repaint | q: quit";
  if (!p.notice.empty()) help = p.notice;
  draw_text(p, help, 6, p.panel_h + 4 + 2 * line, {160, 160, 160, 255});
  SDL_RenderPresent(p.renderer);
}

bool window_open(Preview& p) {
  const char* fonts[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                         "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"};
  for (const char* f : fonts)
    if (!p.font) p.font = TTF_OpenFont(f, 13);
  if (!p.font) fprintf(stderr, "folian_preview: no DejaVu font, the status line stays empty\n");
  p.bar_h = p.font ? 3 * TTF_FontLineSkip(p.font) + 8 : 8;

  p.scale = p.opt.scale;
  if (p.scale <= 0) {
    SDL_Rect usable;
    p.scale = 0.5;
    if (SDL_GetDisplayUsableBounds(0, &usable) == 0)
      p.scale = std::min(
          {1.0, (usable.w - 16.0) / p.opt.width, (usable.h - p.bar_h - 48.0) / p.opt.height});
    p.scale = std::max(p.scale, 0.1);
  }
  p.panel_w = (int)(p.opt.width * p.scale + 0.5);
  p.panel_h = (int)(p.opt.height * p.scale + 0.5);
  // Smooth scaling keeps text on the panel readable below full size.
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  std::string title = "folian preview - " + p.opt.bundle;
  p.window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              p.panel_w, p.panel_h + p.bar_h, 0);
  if (!p.window) return false;
  p.renderer = SDL_CreateRenderer(p.window, -1, 0);
  if (!p.renderer) return false;
  p.panel = SDL_CreateTexture(p.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                              p.opt.width, p.opt.height);
  if (!p.panel) return false;
  // The stand-in's memory starts white, as a panel after power-on.
  p.shown.assign((size_t)p.opt.width * p.opt.height, 0xFF);
  window_upload(p, {0, 0, p.opt.width, p.opt.height}, false);
  return true;
}
