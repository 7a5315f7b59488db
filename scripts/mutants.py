#!/usr/bin/env python3
"""Plants realistic faults in src/ (and the bundle's start script) one at a time and
records which tests catch them.

For each fault: edit the file, build, run the whole suite, put the file back.
Prints a markdown table: fault, module, description, failing tests or MISSED.
"""
import argparse
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# (file under src/ or, with a slash, under the checkout; original text (must occur
# exactly once), replacement, description)
FAULTS = [
    ("main.cpp",
     "int timeout = merge_timeout(merge_timeout(tasks_next_timeout_ms(), control_next_timeout_ms()),\n"
     "                                channels_next_timeout_ms());",
     "int timeout = merge_timeout(tasks_next_timeout_ms(), control_next_timeout_ms());",
     "poll timeout leaves out the channels' deadlines (delayed refresh, sleep cover)"),
    ("main.cpp", "return a < b ? a : b;", "return a > b ? a : b;",
     "poll timeout takes the later of two deadlines"),
    ("main.cpp",
     "  engine_api().Shutdown(g_engine);\n  aot_data.reset();\n  display_close();",
     "  display_close();\n  engine_api().Shutdown(g_engine);\n  aot_data.reset();",
     "shutdown closes the display before the engine has stopped presenting"),
    ("main.cpp", "  if (sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN) signal(SIGHUP, on_signal);",
     "  (void)hup;", "a hang-up ends the program without its shutdown: screen and framework not given back"),
    ("main.cpp", "hup.sa_handler != SIG_IGN", "true",
     "started under nohup, a hang-up still quits the program"),
    ("main.cpp", "      *mistake = argv[i];", "      *mistake = argv[1];",
     "the usage error names the first argument, not the one that is wrong"),
    ("main.cpp", "      send_lifecycle(kPaused);\n", "",
     "screensaver on: the application is not told it is paused"),
    ("log.cpp", "(size_t)n + (size_t)text >= sizeof line", "(size_t)n + (size_t)text > sizeof line",
     "a line exactly one byte too long for the buffer loses its newline"),
    ("log.cpp", 'emit("[%9.3f][错误] ", true, fmt, ap);', 'emit("[%9.3f] ", true, fmt, ap);',
     "error lines lose their error marker"),
    ("tasks.cpp", "return a.seq < b.seq;", "return a.seq > b.seq;",
     "tasks due at the same time run newest first"),
    ("tasks.cpp", "comes_before(g_heap[right], g_heap[pick])", "comes_before(g_heap[right], g_heap[left])",
     "heap sift-down compares the right child with the left, not the smaller: tasks out of order"),
    ("tasks.cpp", "  pthread_mutex_unlock(&g_lock);\n  write_wake_byte();\n}", "  pthread_mutex_unlock(&g_lock);\n}",
     "a posted task does not wake the loop"),
    ("display.cpp", "    w = d.right - d.left + 1;", "    w = d.right - d.left;",
     "partial refresh rectangle one pixel too narrow"),
    ("policy.cpp", "g_since_flash + 1 >= every", "g_since_flash >= every",
     "FOLIAN_FULL_EVERY=N does a full refresh every N+1 frames"),
    ("display.cpp", "    if (k1 > (int64_t)width) k1 = width;\n", "",
     "sleep cover narrower than the screen: row read past its width"),
    ("display.cpp",
     "  uint32_t x1 = std::max(*x + *w, g.missed_x + g.missed_w);\n"
     "  uint32_t y1 = std::max(*y + *h, g.missed_y + g.missed_h);\n"
     "  *x = std::min(*x, g.missed_x);\n  *y = std::min(*y, g.missed_y);\n  *w = x1 - *x;\n  *h = y1 - *y;",
     "  *x = std::min(*x, g.missed_x);\n  *y = std::min(*y, g.missed_y);\n"
     "  *w = std::max(*w, g.missed_w);\n  *h = std::max(*h, g.missed_h);",
     "a refused refresh is merged into the next as the larger size, not the bounding box"),
    ("eink.cpp", "return kind == kKindClassic ? kWfGl16 : kWfDu4;",
     "return kind == kKindClassic ? kWfDu4 : kWfGl16;",
     "'fast' mode waveform swapped between classic and newer drivers"),
    ("eink.cpp", "  if (busy_at(now)) {\n    g_reagl_now = true;", "  if (!busy_at(now)) {\n    g_reagl_now = true;",
     "page-turn animation busy check inverted"),
    ("eink.cpp", "r->hist_bw = waveform == reagl ? reagl : kWfDu;\n  r->hist_gray = waveform == reagl ? reagl : kWfGc16;",
     "r->hist_bw = waveform == reagl ? reagl : kWfGc16;\n  r->hist_gray = waveform == reagl ? reagl : kWfDu;",
     "histogram waveform hints swapped (bw/gray)"),
    ("eink.cpp", "(uint64_t)*w * *h < kSwipeMinPixels", "(uint64_t)*w * *h <= kSwipeMinPixels",
     "page-turn minimum area boundary: exactly the minimum is refused"),
    ("eink.cpp", "  else\n    g_kind.store(kind);", "  else\n    g_probing = true;",
     "the kind FOLIAN_EINK names is left to the first refresh: page turns unsupported before the first frame"),
    ("eink.cpp", "  if (!eink_supports_swipe() && !eink_kind_pending()) return;",
     "  if (!eink_supports_swipe()) return;", "an arming made before the first refresh is dropped"),
    ("eink.cpp", "    if (g_swipe_until != 0) g_swipe_until = kind == kKindMtk ? eink_clock_ms() + kSwipeWindowMs : 0;\n",
     "", "an arming made before the kind was known keeps counting from the call, and expires before the panel can use it"),
    ("eink.cpp", "  }\n  tasks_wakeup();\n", "  }\n",
     "the refresh that finds the driver kind does not wake the loop: a held reply waits out its two seconds"),
    ("channels.cpp", "if (message->response_handle && eink_kind_pending() &&", "if (false &&",
     "isSupported before the first refresh answered at once: false on a panel that animates"),
    ("channels.cpp", "void channels_close() { answer_held(engine_api().GetCurrentTime(), true); }",
     "void channels_close() {}", "a reply still held at shutdown is never sent"),
    ("channels.cpp", "{g_full_refresh_at, g_cover_at, held_until}", "{g_full_refresh_at, g_cover_at, held_until * 0}",
     "the held replies' deadline is left out of the poll timeout"),
    ("codec.cpp", "if (size <= 253) {", "if (size <= 254) {",
     "writer: size 254 written as a one-byte prefix (means 'two bytes follow')"),
    ("codec.cpp", "if (first < 254) {", "if (first <= 254) {",
     "reader: prefix 254 read as the size itself"),
    ("codec.cpp",
     "      uint32_t n = reader_size(r);\n      if (!r.valid) return;\n      uint32_t pad = (unit - r.offset % unit) % unit;",
     "      uint32_t pad = (unit - r.offset % unit) % unit;\n      uint32_t n = reader_size(r);\n      if (!r.valid) return;",
     "typed list alignment counted from before the size prefix"),
    ("codec.cpp", "match = r.valid && n == key_length && memcmp", "match = r.valid && n <= key_length && memcmp",
     "map key lookup matches on a prefix of the key"),
    ("channels.cpp", "        action->run(args);\n        reply_bool(engine, message, true);\n",
     "        action->run(args);\n",
     "setRefreshMode (and every other panel setter) gets no response"),
    ("channels.cpp", "} else if (eink_swipe_busy()) {", "} else if (!eink_swipe_busy()) {",
     "fullRefresh: page-turn busy check inverted"),
    ("channels.cpp", "direction = forward == false ? kTurnHorizontalBack : kTurnHorizontalForward;", "direction = forward == false ? kTurnHorizontalForward : kTurnHorizontalBack;",
     "horizontal page-turn direction reversed"),
    ("channels.cpp", "steps = speed <= 63 ? 6", "steps = speed < 63 ? 6",
     "page-turn speed boundary 63 gets the middle step count"),
    ("platform.cpp", "if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;", "if (cp >= 0xDC00 && cp <= 0xDFFF) cp = 0xFFFD;",
     "unpaired high surrogate written as invalid UTF-8"),
    ("platform.cpp", "if (c == '\"' || c == '\\\\') {", "if (c == '\\\\') {",
     "clipboard reply: quote not escaped"),
    ("platform.cpp", "} else if (cp < 0x800) {", "} else if (cp <= 0x800) {",
     "U+0800 encoded in two bytes"),
    ("input_events.cpp", "(ev.code == KEY_PAGEUP || ev.code == KEY_PAGEDOWN)", "(ev.code == KEY_PAGEUP || ev.code == KEY_DOWN)",
     "page-down key code wrong (KEY_DOWN)"),
    ("input_lost_events.cpp", "  for (int i = 0; i < g_held_count; i++) touch_event(d, g_held[i], engine);\n", "",
     "touch events after the report that ends a gap are dropped (a tap after an overflow is lost)"),
    ("input_lost_events.cpp", "reads < kGapReads && (got", "reads < 0 && (got",
     "after a gap the kernel is asked before its queue is read: queued events applied twice, queued BTN_TOUCH taken away"),
    ("input_lost_events.cpp", "if (s.down && want.tracking_id != s.tracking_id)", "if (s.down && want.tracking_id < 0)",
     "a tracking id changed across a gap moves the old contact (two taps become one drag)"),
    ("input_lost_events.cpp", "      if (d.multitouch && s.down) end_contact(d, s, kCancel, engine);\n", "",
     "a slot whose first event after a gap is a lift drags the application's contact to the unseen one"),
    ("input_lost_events.cpp", "    then[key_index(ev.code)] = ev.value == kEvdevKeyUp || ev.value == kEvdevKeyRepeat;\n", "",
     "page keys after a gap start from the kernel's answer: a lost press and a re-press are not delivered"),
    ("input_events.cpp", "  if (action == kKeyPress && pressed) return;\n", "",
     "a press of a page key the application holds is sent again (two page turns)"),
    ("input_events.cpp", "return value >= 0 && value < kSlots ? value : kIgnoredSlot;",
     "return value >= 0 && value < kSlots ? value : 0;",
     "a slot past the ten kept lands on slot 0 (moves and lifts another finger)"),
    ("input_events.cpp", "return ((double)v - (double)a.minimum) * (double)(unsigned)(n - 1u) / (double)span;",
     "return ((double)v - (double)a.minimum) * (double)n / (double)span;",
     "touch scaling maps the axis maximum one pixel off the screen"),
    ("input_events.cpp", "  if (action == kKeyRelease && !pressed) return;\n", "",
     "page key release without a press is sent on"),
    ("input_lost_events.cpp", "then.x = own ? s.x : first[k][kX];", "then.x = s.x;",
     "a finger that lands during lost events goes down where the last one was (a drag nobody made)"),
    ("control.cpp", "g_queue_end + kGapMs * kMs : now;", "g_queue_end + kGapMs : now;",
     "50 ms gap between queued commands lost (unit slip)"),
    ("control.cpp", "    if (d > kMaxDurationMs) return kTooLong;\n    unsigned ms = d == 0 ? kSwipeMs",
     "    if (d >= kMaxDurationMs) return kTooLong;\n    unsigned ms = d == 0 ? kSwipeMs",
     "swipe of exactly 60000 ms refused"),
    ("control.cpp", "for (unsigned i = 1; i <= n; i++) {", "for (unsigned i = 1; i < n; i++) {",
     "swipe: last move step missing"),
    ("power.cpp", "g_line_len + 1 <= (int)sizeof g_line - 1", "g_line_len <= (int)sizeof g_line - 1",
     "event line cap off by one: terminator written past the buffer"),
    ("power.cpp", "      on_event(e);", "      if (i + 1 == n) on_event(e);",
     "of the event lines in one read only the last is acted on: a sleep and its wake together leave the screensaver up"),
    ("power.cpp", "return g_restarts++ < kMaxRestarts;", "return g_restarts++ <= kMaxRestarts;",
     "event tool restarted once too often"),
    ("framework.cpp", '  blanket("load", "screensaver");\n  g_close(g_lipc);',
     '  g_close(g_lipc);\n  blanket("load", "screensaver");',
     "closing: bus closed before the screensaver is loaded back"),
    ("settings.cpp", "v > min && v <= max", "v >= min && v <= max",
     "number setting accepts its exclusive minimum (pixel ratio 0)"),
    ("settings.cpp", "v < min || v > max", "v < min || v >= max",
     "whole-number setting refuses its maximum (FOLIAN_DPI=10000)"),
    ("pixels.cpp", "uint8_t invert = g_format.inverted != style.invert ? 0xFF : 0x00;",
     "uint8_t invert = g_format.inverted ? 0xFF : 0x00;",
     "night mode in the conversion leaves the frames uninverted"),
    ("eink.cpp", "return g_kind.load() != kKindNone;", "return g_kind.load() == kKindMtk;",
     "night mode leaves the i.MX drivers' inversion unused (and inverts in the conversion)"),
    ("display.cpp", "      // Given back as it was found, night mode or not.\n"
     "      eink_refresh(fb.fd, 0, 0, fb.width, fb.height, true, false);",
     "      eink_refresh(fb.fd, 0, 0, fb.width, fb.height, true, g.night);",
     "night mode: the screen found at start is given back inverted"),
    ("display.cpp", "        eink_refresh(fb.fd, 0, 0, fb.width, fb.height, true, false);",
     "        eink_refresh(fb.fd, 0, 0, fb.width, fb.height, true, g.night);",
     "night mode: the sleep cover is shown inverted"),
    ("eink.cpp", "r.flags |= kFlagPageTurn;", "r.flags = kFlagPageTurn;",
     "night mode: an animated page turn loses the inversion"),
    ("display.cpp", "  } else {\n    refresh(0, 0, fb.width, fb.height, true);\n  }\n  policy_flashed();",
     "  }\n  policy_flashed();",
     "switching night mode waits for the next frame instead of refreshing at once"),
    ("pixels.cpp", "if (g_format.bpp == 16) colours = (colours & 0xFFFFu) * 0x10001u;", "",
     "colour panel without an inverting driver: switching night mode turns every other pixel only"),
    ("pixels.cpp", "const uint8_t* dither = style.dither ? kBayer.row[y % 8] : nullptr;",
     "const uint8_t* dither = style.dither ? kBayer.row[y % 2] : nullptr;",
     "frames dithered with two rows of the matrix only (stripes, grays off)"),
    ("pixels.cpp", "rank |= ((2 * xb + 3 * yb) % 4) << (4 - 2 * bit);",
     "rank |= ((2 * xb + 3 * yb) % 4) << (2 * bit);",
     "dither ranks built from the wrong end of the coordinates: clustered dots, not spread ones"),
    ("pixels.cpp", "_mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F))", "_mm_srli_epi16(v, 4)",
     "SSE2 dithering: the 16-bit shift lets the next byte's bits into each level"),
    ("channels.cpp", 'return arg_bool(args, "enabled") == true;', 'return arg_bool(args, "enabled") != false;',
     "setNightMode or setDithering without an argument turns the mode on"),
    ("engine.cpp", "    if (bytes[at]) return;", "    if (!bytes[at]) return;",
     "a table from before 2.2 is taken as it is: every entry from SendPlatformMessage on one off"),
    ("engine.cpp", "  if (!missing.empty()) {", "  if (false && !missing.empty()) {",
     "an engine without a function the program needs is taken"),
    ("engine.cpp", "  if (!get) {", "  if (false) {",
     "a library without FlutterEngineGetProcAddresses is called through a null pointer"),
    ("engine.cpp", "  if (!engine.aot && kernel_blob) {", "  if (!engine.aot) {",
     "a debug engine without kernel_blob.bin is given a release app unjudged"),
    ("main.cpp", "  else\n    send_window_metrics();", "  else\n    (void)0;",
     "an engine without ScheduleFrame is asked for no frame after a wake"),
    ("main.cpp", " ||\n      !engine_check_app(bundle.engine, bundle.app, bundle.kernel)) {", ") {",
     "the app is not judged against the engine before the launch"),
    ("input_events.cpp", "  if (engine_api().SendKeyEvent) engine_api().SendKeyEvent(",
     "  engine_api().SendKeyEvent(",
     "page keys call SendKeyEvent on an engine that has none"),
    ("snapshot.cpp", "  bool older = has_word(words, arch == Arch::kArmhf ? \"arm-eabi\" : \"x64-sysv\");",
     "  bool older = header->features.find(arch == Arch::kArmhf ? \"arm-eabi\" : \"x64-sysv\") != "
     "std::string::npos;",
     "architecture matched inside another feature word"),
    ("snapshot.cpp", "  if (arch == Arch::kArmhf && !(eh.e_flags & EF_ARM_ABI_FLOAT_HARD))",
     "  if (false && !(eh.e_flags & EF_ARM_ABI_FLOAT_HARD))",
     "a soft-float ARM app is taken"),
    ("snapshot.cpp", "    if (ph.p_type == PT_INTERP) return ElfProblem::kNotSharedObject;\n", "",
     "a position-independent executable is taken for a shared object"),
    ("snapshot.cpp", "    uint64_t offset = ph.p_offset + (value - ph.p_vaddr);",
     "    uint64_t offset = value;",
     "the snapshot symbol's address is taken for its file offset"),
    ("snapshot.cpp", "    return Verdict::kHashMismatch;", "    return Verdict::kOk;",
     "an app of another release is given to the engine"),
    ("snapshot.cpp", "    if (end - start == kHashLength && ", "    if (end - start >= kHashLength && ",
     "the engine's hashes include longer hex runs cut at 32"),
    ("policy.cpp", "now - g_last_frame < kMotionGapMs", "now - g_last_frame <= kMotionGapMs",
     "a frame exactly 250 ms after the last is taken for motion"),
    ("policy.cpp", "if (g_motion && facts.mode_auto && g_framed", "if (g_motion && g_framed",
     "motion overrides the waveform the application chose"),
    ("policy.cpp", "  if (facts.page_turn_armed) return FrameRefresh::kPartial;\n", "",
     "an armed page turn is made fast, or flashes: the animation is lost"),
    ("policy.cpp", "    case FrameRefresh::kFast:\n      break;",
     "    case FrameRefresh::kFast:\n      g_since_flash++;\n      break;",
     "fast refreshes count toward the next flash"),
    ("policy.cpp", "int every = facts.night ? g_night_every : g_every;", "int every = g_every;",
     "night mode flashes by the day count"),
    ("policy.cpp", 'setting_int("FOLIAN_FULL_EVERY_NIGHT", g_every, 0, INT_MAX)',
     'setting_int("FOLIAN_FULL_EVERY_NIGHT", 0, 0, INT_MAX)',
     "without FOLIAN_FULL_EVERY_NIGHT night mode never flashes"),
    ("policy.cpp", "  g_since_flash = 0;\n  drop_run();\n}", "  g_since_flash = 0;\n}",
     "a full refresh of the whole screen leaves the clean-up owed"),
    ("policy.cpp", "return g_cleanup_at.exchange(now + kCleanupDelayMs) == 0;",
     "uint64_t was = g_cleanup_at.load();\n  if (was == 0) g_cleanup_at.store(now + kCleanupDelayMs);\n"
     "  return was == 0;", "the clean-up comes 300 ms after the first fast refresh, in the middle of the motion"),
    ("policy.cpp", "uint32_t x1 = std::max(g_run.x + g_run.w, r.x + r.w);", "uint32_t x1 = r.x + r.w;",
     "the clean-up leaves out the right part of the run's rectangles"),
    ("policy.cpp", "  if (busy) {", "  if (busy && now < due) {",
     "the clean-up cuts a running page-turn animation short"),
    ("eink.cpp", "return mode == kRefreshRegal ? reagl_of(kind) : kWfGc16;",
     "return mode == kRefreshHd ? reagl_of(kind) : kWfGc16;",
     "the clean-up takes REAGL in hd mode and flashes GC16 in regal mode"),
    ("eink.cpp", "waveform = mode_waveform(kRefreshFast, kind);", "waveform = mode_waveform(kRefreshBalanced, kind);",
     "fast refreshes take DU4/GL16 instead of DU"),
    ("display.cpp", "refresh(r.x, r.y, r.w, r.h, true, Wave::kQuality);",
     "refresh(r.x, r.y, r.w, r.h, false, Wave::kQuality);",
     "the clean-up is a partial refresh, which drives no pixel the fast ones already set"),
    ("display.cpp", "if (policy_sent(now, plan, {x, y, w, h})) tasks_wakeup();", "policy_sent(now, plan, {x, y, w, h});",
     "a fast refresh does not wake the main loop: the clean-up waits for something else to"),
    ("main.cpp", "    timeout = merge_timeout(timeout, display_next_timeout_ms());\n", "",
     "poll timeout leaves out the clean-up after fast refreshes"),
    ("channels.cpp", 'int day = arg_count(args, "every", now.flash_every);', 'int day = arg_count(args, "every", 0);',
     "setFlashPolicy without a day count turns day flashes off"),
    ("main.cpp", "    features |= kFlutterAccessibilityFeatureDisableAnimations;",
     "    features |= kFlutterAccessibilityFeatureReduceMotion;",
     "FOLIAN_REDUCE_MOTION tells 'reduce motion', which MediaQuery.disableAnimations does not follow"),
    ("main.cpp", "  send_accessibility_features();\n  g_metrics", "  if (false) send_accessibility_features();\n  g_metrics",
     "the accessibility features are never told"),
    ("scripts/folian-run", "    blanket splash\n", "",
     "the launcher does not load the system's splash again"),
    ("scripts/folian-run", "    [ $((seen & 2)) = 2 ] || blanket screensaver\n", "",
     "after a crash the launcher does not load the system's screensaver again"),
    ("scripts/folian-run", "[ $((seen & 2)) = 2 ] || blanket", "blanket",
     "the launcher loads the screensaver again after folian has done it"),
    ("scripts/folian-run", '  [ -z "$ui_start" ] || ui 重新启动 "$ui_start"\n', "",
     "the reader's interface is not started again after folian"),
    ("scripts/folian-run", "if ! flock -n 9 && ! { nap && flock -n 9; }; then", "if false; then",
     "a second start is not refused: no lock taken"),
    ("scripts/folian-run", '    [ ! -e "$log" ] || mv -f "$log" "$log.1"\n', "",
     "a start overwrites the log of the run before"),
    ("scripts/folian-run", '    mv -f "$log" "$log.1"\n', "",
     "the log is never turned over: it grows past its limit"),
    ("scripts/folian-run", "    setsid sh ", "    sh ",
     "folian stays in the starting terminal's session and dies with it"),
    ("scripts/folian-run", '  while is "$sup" "$sup_at"; do', "  while false; do",
     "stop returns before the device is given back"),
    ("scripts/folian-run", "    ! leads_own_group || kill -TERM 0 2>/dev/null\n", "",
     "what a crashed folian started is left running"),
    ("scripts/folian-run", "    : \"${FOLIAN_FRAMEWORK_STOPPED=1}\"\n", "",
     "with the interface stopped, folian puts back a screen the interface will repaint"),
    ("scripts/folian-run", "  exec 3>&- 4<&- 9>&-\n", "  exec 3>&- 4<&-\n",
     "the output copy keeps the lock: a killed supervisor jams the reader for good"),
    ("scripts/folian-run", "    held && [ \"$tries\" -gt 0 ] || return 0\n", "    return 0\n",
     "a stop while a start is under way finds no record and leaves folian running"),
    ("scripts/folian-run", '      if is "$run_pid" "$run_pid_at"; then\n        complain',
     "      if true; then\n        complain",
     "a stop past the watchdog's time kills folian's pid after folian has ended"),
    ("scripts/folian-run", 'while [ -L "$self" ]; do', "while false; do",
     "started through a link, the script looks for folian beside the link"),
    ("scripts/folian-run", "lock=$run/folian-run.lock", "lock=$here/.folian-run.lock",
     "the lock is the bundle's: a second bundle starts a second folian on the panel"),
    ("scripts/folian-run", '      ! is "$run_sup" "$run_sup_at" || { run_is=live; return 0; }\n',
     "      run_is=live\n      return 0\n",
     "a killed supervisor is taken for a live one: status says running, start refuses for good"),
    ("scripts/folian-run", "      give_back\n      put_state ended '", "      put_state ended '",
     "a stop for a killed supervisor does not give the device back"),
    ("scripts/folian-run", '        kill -TERM "$pid" 2>/dev/null\n        kill_at=', "        kill_at=",
     "a stop for a killed supervisor leaves folian running until it kills it"),
    ("scripts/folian-build", '                       ("folian", args.folian)):', "):",
     "folian-build finds a missing folian only after the whole SDK build"),
    ("scripts/folian-build", 'problems.append("output %s: no such directory" % args.out)', "pass",
     "folian-build finds a missing output directory only after the whole SDK build"),
    ("control.cpp", '{"night", "on", kStepNight}, {"dither", "on", kStepDither}',
     '{"night", "on", kStepDither}, {"dither", "on", kStepNight}',
     "the control commands night and dither turn each other's switch"),
    ("control.cpp", "flash_count(got == 2 ? night : day)", "flash_count(got == 2 ? night : 0)",
     "'flash N' on the control pipe turns night-mode flashes off instead of following the day's"),
    ("control.cpp", 'if (!on && strcmp(word, "off") != 0) return kUnreadable;', "",
     "a control switch with a word it does not know is taken for off, without an error"),
    ("input_nodes.cpp", 'if (!any_touch) log_error("没找到触摸屏\\n");', 'if (!any_touch) log_info("没找到触摸屏\\n");',
     "a missing touch screen is told as information: no [错误] mark, and troubleshooting loses it"),
    ("check.cpp", "  problems += check_settings(on_start_settings);\n",
     "  (void)check_settings;\n  (void)on_start_settings;\n",
     "--check passes settings a start refuses (FOLIAN_EINK=foo, FOLIAN_NIGHT=yes, ...)"),
    ("check.cpp", "  orientation_read_settings();\n", "",
     "--check passes a FOLIAN_ROTATE a start refuses"),
    ("check.cpp", "  const FramebufferSettings screen = framebuffer_read_settings();\n  on_start_settings((double)screen.dpi);",
     "  on_start_settings(0);", "--check passes a FOLIAN_FB_SIZE or FOLIAN_DPI a start refuses"),
    ("settings.cpp", "  if (x) *height = (unsigned)h;", "  *height = (unsigned)h;",
     "a size given as its width alone makes the height 0: no simulated screen"),
    ("settings.cpp", "  g_invalid++;\n  log_error(\"%s=%s 无效：应为 宽x高", "  log_error(\"%s=%s 无效：应为 宽x高",
     "a size that breaks its rule is told but not counted: --check passes it"),
    ("framebuffer.cpp", "s.device ? 0 : kSimulatedDpi", "0",
     "the simulated screen's density is 0, not 300: the application is drawn at ratio 2"),
    ("display.cpp", "  g.restore = s.restore;\n", "",
     "FOLIAN_FRAMEWORK_STOPPED no longer keeps the startup screen from being put back at exit"),
    ("settings.cpp", "  g_invalid++;\n  log_error(\"%s=%s 无效：应为 1、true、0 或 false", "  log_error(\"%s=%s 无效：应为 1、true、0 或 false",
     "a flag that breaks its rule is told but not counted: --check passes it"),
    ("control.cpp", "  if (!fifo_path_free(path)) return false;\n", "",
     "--check passes a control FIFO path taken by a plain file, where every start fails to make the FIFO"),
    ("scripts/standin-reader.sh", 'exec 7<>"$touch_node"\n', "",
     "the stand-in reader's touch screen hangs up when a toucher closes it: the walk loses it after one tap"),
    ("scripts/folian-run", 'complain "已有 folian 在运行（pid', 'complain "folian 已在运行（pid',
     "a refusal reworded without its glossary entry: the English tables go stale"),
    ("framebuffer.cpp", "(size_t)(count - 1) * g_fb.stride + g_fb.row_len", "(size_t)count * g_fb.stride",
     "a whole-screen copy runs on into the last row's padding, which need not be mapped"),
    ("framebuffer.cpp", " + (size_t)var.xoffset * (g_fb.bpp / 8);", ";",
     "a panned framebuffer's origin leaves out the x offset"),
    ("pixels_turn.cpp", "place_band_quarter8(t, y0, whole, cols, degrees == 90, &d);",
     "place_band_quarter8(t, y0, whole, cols, degrees == 270, &d);",
     "turned gray picture: a quarter clockwise drawn counter-clockwise (swapped axis)"),
    ("pixels_turn.cpp", "const uint32_t column0 = clockwise ? t.width - y0 - k_end : y0 + k_begin;",
     "const uint32_t column0 = clockwise ? t.width - y0 - k_end + 1 : y0 + k_begin;",
     "turned picture at 90 degrees one column off: the last column lands in the row's padding"),
    ("pixels_turn.cpp", "uint32_t column = t.width - 8 - x;", "uint32_t column = t.width - 7 - x;",
     "half-turned gray picture one column off: the last column lands in the row's padding"),
    ("pixels_turn.cpp",
     "store8(d, t.shadow + (size_t)row * t.stride + column, m[c], row, column);",
     "store8(d, t.shadow + (size_t)row * t.stride + column, m[c], y0 + part, x + c);",
     "turned gray picture's damage in the application's coordinates, not the panel's"),
    ("pixels_turn.cpp", "_mm_unpacklo_epi32(b0, b2), _mm_unpackhi_epi32(b0, b2),",
     "_mm_unpacklo_epi32(b0, b2), _mm_unpacklo_epi32(b0, b2),",
     "gray transpose repeats two columns for the next two: the turned picture is garbled"),
    ("input_events.cpp", "      *x = py;\n      *y = last_x - px;", "      *x = last_x - px;\n      *y = py;",
     "touches at 90 degrees with their axes swapped"),
    ("channels.cpp",
     "static const unsigned kQuarterClockwise[] = {kTurnHorizontalForward, kTurnHorizontalBack,",
     "static const unsigned kQuarterClockwise[] = {kTurnHorizontalBack, kTurnHorizontalForward,",
     "page-turn sweep turned the wrong way for a turned picture"),
    ("orientation.cpp", "if (degrees[i] == g_degrees) return;", "if (degrees[0] == g_degrees) return;",
     "preferred orientations: the current one kept only when listed first"),
    ("display.cpp",
     "  g.turn_pending = true;\n  // The whole panel changes at once: one full refresh shows it cleanly.\n  g.force_full = true;",
     "  g.turn_pending = true;",
     "a turn of the picture is refreshed in part, not in full"),
    ("main.cpp", "  g_metrics.height = orientation_app_height();\n  send_window_metrics();\n}",
     "  g_metrics.height = orientation_app_height();\n}",
     "a turn of the picture does not tell the application its window's new size"),
    ("sources.cpp", "return (native * 100 + max / 2) / max;", "return (native * 100 + max / 2) / (max + 1);",
     "a light's native steps read as one more than there are: every level off by one, full never 100"),
    ("sources.cpp", "if (warmth >= 0) ok = write_light(light_of(true), warmth) && ok;",
     "if (warmth >= 0) ok = write_light(light_of(false), warmth) && ok;",
     "setFrontlight writes the warmth to the front light's brightness"),
    ("device.cpp", "uint64_t seq = queue(Work::kKeepAwake, nullptr, 0, 0, false);", "uint64_t seq = 0;",
     "the screensaver kept away by keepAwake is never given back at exit"),
    ("device.cpp", "    g_listening = false;\n    g_poll_at = 0;", "    g_poll_at = 0;",
     "cancel on the battery event channel leaves the events coming"),
    ("device.cpp", "if (!g_listening || event_queued()) return;", "if (event_queued()) return;",
     "the daemon's battery events are read with no one listening"),
    ("device.cpp", "uint64_t deadline = engine_api().GetCurrentTime() + kAnswerWithinNs;",
     "uint64_t deadline = UINT64_MAX;",
     "a call waits for a slow daemon or a hung node without a time limit"),
    ("engine.cpp", "  const char* loaded = g_loaded_path.empty() ? engine_path : g_loaded_path.c_str();",
     "  const char* loaded = engine_path;",
     "a bare FOLIAN_ENGINE name: the file in the working directory is checked, another one loaded"),
    ("snapshot.cpp", "  if (!engine.mode.empty() && engine.mode != mode) return Verdict::kModeMismatch;\n", "",
     "a profile app is given to a release engine (or the reverse): its VM aborts at start"),
    ("snapshot.cpp", "  if (product == release) return \"\";", "  if (product && release) return \"\";",
     "an engine that tells neither mode is taken for a profile engine"),
    ("snapshot.cpp", "  if (!older && !newer) return Verdict::kWrongArch;",
     "  if (!older && (!newer || newer)) return Verdict::kWrongArch;", "apps of the later releases' words (arm linux) are refused as of another architecture"),
    ("snapshot.cpp", "  if (!engine.aot) return Verdict::kNeedsAotEngine;",
     '  if (!engine.aot && mode != "debug") return Verdict::kNeedsAotEngine;',
     "the first feature word debug is taken for a Flutter debug build: such an app goes to a JIT engine"),
    ("sim/engine/api.cpp", '  return words.rfind(" " STAND_IN_MODE " ", 0) == 0 &&', "  return true &&",
     "the stand-in engine runs an app made for the other mode's VM"),
    ("scripts/folian-bundle", "    if engine_mode is not None and engine_mode != mode:\n        return \"mode_mismatch\"\n",
     "", "the bundle tool packs a profile app with a release engine"),
    ("scripts/folian-bundle", "if required and n not in engine.symbols]", "if n not in engine.symbols]",
     "the bundle tool requires the functions folian does without: engines 2.0-2.10 refused"),
    ("scripts/folian-bundle", "                if at >= self.size:  # a segment that claims more than the file holds\n"
     "                    return b\"\"\n", "", "an app whose segment lies past the file's end crashes the bundle tool"),
    ("scripts/folian-bundle", "    engine_hashes, engine_mode = engine_facts\n    if verdict",
     "    engine_hashes, engine_mode = engine_facts\n    named([app.hash], releases)\n    if verdict",
     "the bundle tool words the hash mismatch for every verdict: a header without a hash crashes it"),
    ("snapshot.cpp", "  if (size < EI_NIDENT || memcmp(file, ELFMAG, SELFMAG) != 0) return {{0, size}};",
     "  if (size) return {{0, size}};",
     "the engine's unmapped debug information counts: a release engine that names C++ members "
     "release tells no mode"),
    ("scripts/folian-bundle",
     "if loaded is None or any(s < at and at + len(text) < e for s, e in loaded):", "if True:",
     "the bundle tool reads the engine's mode in its debug information too"),
    ("scripts/log-glossary.py", "            if any(p in passed and (passed[p] == value) != equal\n",
     "            if False and any(p in passed and (passed[p] == value) != equal\n",
     "the troubleshooting table names a piece a line is never printed for"),
    ("scripts/log-glossary.py", "                    if head else None\n",
     "                    if head and False else None\n",
     "a line beginning with the name of its piece is shown as … only: no one finds it"),
    ("framebuffer.cpp", "(size_t)(count - 1) * g_fb.stride + g_fb.row_len", "(size_t)count * g_fb.stride",
     "a whole-screen copy runs on into the last row's padding, which need not be mapped"),
    ("framebuffer.cpp", " + (size_t)var.xoffset * (g_fb.bpp / 8);", ";",
     "a panned framebuffer's origin leaves out the x offset"),
]


def source(name):
    return ROOT / name if "/" in name else ROOT / "src" / name


def run(cmd, cwd):
    return subprocess.run(["nice", "-n", "5"] + cmd, cwd=cwd, capture_output=True, text=True)


def failed_tests(output):
    part = output.split("The following tests FAILED:", 1)
    if len(part) < 2:
        return []
    return [f"{m[1]} ({m[2]})" for m in re.finditer(r"^\s*\d+ - (\S+) \((.+?)\)", part[1], re.M)]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--preset", default="debug")
    ap.add_argument("--build", help="build directory (default: the preset's)")
    ap.add_argument("--only", help="comma-separated fault ids")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--out", help="also write the table here")
    args = ap.parse_args()

    ids = [int(i) for i in args.only.split(",")] if args.only else range(1, len(FAULTS) + 1)
    if args.list:
        for i in ids:
            print(f"{i:2} {FAULTS[i - 1][0]:14} {FAULTS[i - 1][3]}")
        return 0
    # Where the table plants: src/ and each file it names outside it.
    planted = list(dict.fromkeys("src" if "/" not in f[0] else f[0] for f in FAULTS))
    if subprocess.run(["git", "status", "--porcelain", "--"] + planted, cwd=ROOT,
                      capture_output=True, text=True, check=True).stdout.strip():
        sys.exit(f"{' or '.join(planted)} has uncommitted changes; commit or stash them first")
    for i in ids:
        name, old, _, _ = FAULTS[i - 1]
        if source(name).read_text().count(old) != 1:
            sys.exit(f"fault {i}: original text does not occur exactly once in {source(name)}")

    build = ["cmake", "--build"] + (["--preset", args.preset] if not args.build else [args.build]) + ["-j2"]
    test = ["ctest"] + (["--preset", args.preset] if not args.build else ["--test-dir", args.build])
    test += ["-j2", "--timeout", "120"]
    rows = ["| # | module | fault | failing tests |", "|---|---|---|---|"]
    start = time.time()
    for i in ids:
        name, old, new, what = FAULTS[i - 1]
        path = source(name)
        original = path.read_text()
        try:
            path.write_text(original.replace(old, new, 1))
            if run(build, ROOT).returncode != 0:
                result = "does not compile"
            else:
                failed = failed_tests(run(test, ROOT).stdout)
                result = ", ".join(failed) if failed else "MISSED"
        finally:
            path.write_text(original)
        rows.append(f"| {i} | {Path(name).stem} | {what} | {result} |")
        print(f"[{time.time() - start:5.0f}s] {i}: {result}", file=sys.stderr)
        if args.out:  # kept current, so an interrupted run still leaves its rows
            Path(args.out).write_text("\n".join(rows) + "\n")
    run(build, ROOT)  # leave the build matching the sources
    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
