// The plugin window: cairo on a plain Xlib window, no toolkit, so that it
// embeds in any host (GTK, Qt or none) without bringing a second toolkit
// into its process.
//
// It shows the input spectrum (grey, filled), the output spectrum (orange
// line), the held partials while frozen (yellow lines at their frequencies
// and levels), the gate's level (red dashed line) and the shift (an arrow
// from 1 kHz to where the shift takes it), on a log frequency axis in dB; below
// them a large freeze button, sliders for mix, blur, shift and threshold with
// their values, and the bypass. The spectrum comes from the plugin on its
// `notify` port while the window listens (plugin/spectrum.hpp); the window
// needs no access to the instance.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <array>
#include <utility>

#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include "plugin/spectrum_message.hpp"
#include "quorvane_table.hpp"

// Xlib last: its macros (Bool, Complex) would clash with the names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>

namespace {

constexpr int default_width = 760;
constexpr int default_height = 420;
constexpr int controls_height = 120;    // the strip of controls under the plot
constexpr double transform_size = 1024; // a bin is the sample rate over this

// The controls the window offers, left to right after the freeze button.
constexpr Role slider_roles[] = {Role::MIX, Role::BLUR, Role::SHIFT, Role::THRESHOLD};

struct Rect {
  double x, y, w, h;
  bool has(double px, double py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

struct Ui {
  const PluginInfo *plugin;
  Display *dpy;
  Window win;
  Atom wm_delete;
  cairo_surface_t *surface;
  int width, height;
  bool closed;
  bool dirty;

  LV2UI_Write_Function write;
  LV2UI_Controller controller;
  SpectrumUrids urid;
  LV2_URID event_transfer;
  LV2_Atom_Forge forge;
  double listened_at; // when the last Listen went out

  float value[role_count]; // each control's value by role, as the host last told
  Bands bands;
  float rate;
  bool have_bands;

  Role dragging; // the slider under the pointer, while a button is down
  bool drag;
};

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

uint32_t index_of(const Ui &ui, Role role) { return port_index(*ui.plugin, role); }
bool has(const Ui &ui, Role role) { return index_of(ui, role) < ui.plugin->port_count; }

// A control's new value, to the plugin through the host.
void set_control(Ui &ui, Role role, float v) {
  const RoleInfo &r = roles[static_cast<unsigned>(role)];
  v = v < r.minimum ? r.minimum : v > r.maximum ? r.maximum : v;
  if (role == Role::SHIFT) { // whole bins
    v = roundf(v * 128.0f) / 128.0f;
  }
  ui.value[static_cast<unsigned>(role)] = v;
  if (has(ui, role)) {
    ui.write(ui.controller, index_of(ui, role), sizeof(float), 0, &v);
  }
  ui.dirty = true;
}

// Listen or Unlisten, to the plugin's `control` port.
void send(Ui &ui, LV2_URID type) {
  if (!has(ui, Role::CONTROL)) {
    return;
  }
  uint8_t buf[64];
  lv2_atom_forge_set_buffer(&ui.forge, buf, sizeof buf);
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_object(&ui.forge, &frame, 0, type);
  lv2_atom_forge_pop(&ui.forge, &frame);
  const auto *msg = reinterpret_cast<const LV2_Atom *>(buf);
  ui.write(ui.controller, index_of(ui, Role::CONTROL), lv2_atom_total_size(msg), ui.event_transfer,
           msg);
}

// --- Layout ------------------------------------------------------------------

Rect plot_rect(const Ui &ui) {
  return {48, 12, ui.width - 60.0, ui.height - controls_height - 36.0};
}
Rect freeze_rect(const Ui &ui) {
  return {12, ui.height - controls_height + 4.0, 130, controls_height - 16.0};
}
Rect bypass_rect(const Ui &ui) {
  return {ui.width - 102.0, ui.height - controls_height + 4.0, 90, controls_height - 16.0};
}
Rect slider_rect(const Ui &ui, unsigned i) {
  const double left = 156, right = ui.width - 114.0;
  const double w = (right - left) / 4;
  return {left + i * w + 10, ui.height - controls_height + 36.0, w - 20, 28};
}

// Frequency and level to the plot: 20 Hz to 20 kHz, 0 to -90 dB.
double x_of(const Rect &p, double hz) {
  const double f = hz < 20 ? 20 : hz > 20000 ? 20000 : hz;
  return p.x + p.w * log10(f / 20.0) / 3.0;
}
double y_of(const Rect &p, double level) {
  const double db = level > 1e-9 ? 20 * log10(level) : -200;
  const double t = -db / 90.0;
  return p.y + p.h * (t < 0 ? 0 : t > 1 ? 1 : t);
}
double band_hz(const Ui &ui, uint32_t b) {
  return sqrt(band_edge(b) * band_edge(b + 1)) * ui.rate / transform_size;
}

// --- Drawing ---------------------------------------------------------------

void text(cairo_t *cr, double x, double y, const char *s, double size, bool centred = false) {
  cairo_set_font_size(cr, size);
  cairo_text_extents_t e;
  cairo_text_extents(cr, s, &e);
  cairo_move_to(cr, centred ? x - e.width / 2 - e.x_bearing : x, y);
  cairo_show_text(cr, s);
}

void draw_plot(Ui &ui, cairo_t *cr) {
  const Rect p = plot_rect(ui);
  cairo_set_source_rgb(cr, 0.07, 0.08, 0.10);
  cairo_rectangle(cr, p.x, p.y, p.w, p.h);
  cairo_fill(cr);
  // The grid: decades and octaves of 1 kHz, every 20 dB.
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgb(cr, 0.55, 0.58, 0.62);
  for (double hz : {50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0}) {
    const double x = floor(x_of(p, hz)) + 0.5;
    cairo_set_source_rgba(cr, 0.55, 0.58, 0.62, 0.25);
    cairo_move_to(cr, x, p.y);
    cairo_line_to(cr, x, p.y + p.h);
    cairo_stroke(cr);
    char s[16];
    snprintf(s, sizeof s, hz >= 1000 ? "%.0fk" : "%.0f", hz >= 1000 ? hz / 1000 : hz);
    cairo_set_source_rgb(cr, 0.6, 0.63, 0.67);
    text(cr, x, p.y + p.h + 14, s, 10, true);
  }
  for (int db = 0; db >= -80; db -= 20) {
    const double y = floor(y_of(p, pow(10.0, db / 20.0))) + 0.5;
    cairo_set_source_rgba(cr, 0.55, 0.58, 0.62, 0.25);
    cairo_move_to(cr, p.x, y);
    cairo_line_to(cr, p.x + p.w, y);
    cairo_stroke(cr);
    char s[16];
    snprintf(s, sizeof s, "%d", db);
    cairo_set_source_rgb(cr, 0.6, 0.63, 0.67);
    text(cr, 8, y + 4, s, 10);
  }
  const float rate = ui.rate > 0 ? ui.rate : 48000.0f;
  if (ui.have_bands) {
    const Bands &b = ui.bands;
    // Input: a filled area.
    cairo_move_to(cr, p.x, p.y + p.h);
    for (uint32_t i = 0; i < spectrum_bands; ++i) {
      cairo_line_to(cr, x_of(p, band_hz(ui, i)), y_of(p, b.input[i]));
    }
    cairo_line_to(cr, p.x + p.w, p.y + p.h);
    cairo_close_path(cr);
    cairo_set_source_rgba(cr, 0.45, 0.55, 0.70, 0.55);
    cairo_fill(cr);
    // Output: a line.
    for (uint32_t i = 0; i < spectrum_bands; ++i) {
      cairo_line_to(cr, x_of(p, band_hz(ui, i)), y_of(p, b.output[i]));
    }
    cairo_set_source_rgb(cr, 1.0, 0.55, 0.15);
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
    // What is held: a line at each partial's frequency, up to its level.
    if (b.held) {
      cairo_set_source_rgb(cr, 1.0, 0.85, 0.25);
      cairo_set_line_width(cr, 1.5);
      for (uint32_t i = 0; i < spectrum_bands; ++i) {
        if (b.held_level[i] <= 0) {
          continue;
        }
        const double x = x_of(p, b.held_bin[i] * rate / transform_size);
        const double y = y_of(p, b.held_level[i]);
        cairo_move_to(cr, x, p.y + p.h);
        cairo_line_to(cr, x, y);
        cairo_stroke(cr);
        cairo_arc(cr, x, y, 2.5, 0, 2 * M_PI);
        cairo_fill(cr);
      }
    }
    // The gate: bins below this line are silenced.
    if (b.gate > 0) {
      const double y = y_of(p, b.gate);
      const double dash[] = {6, 4};
      cairo_set_dash(cr, dash, 2, 0);
      cairo_set_source_rgb(cr, 0.95, 0.25, 0.25);
      cairo_move_to(cr, p.x, y);
      cairo_line_to(cr, p.x + p.w, y);
      cairo_stroke(cr);
      cairo_set_dash(cr, nullptr, 0, 0);
      text(cr, p.x + p.w - 34, y - 4, "gate", 11);
    }
  }
  // The shift: an arrow from 1 kHz to where the shift moves it.
  const float shift = ui.value[static_cast<unsigned>(Role::SHIFT)];
  const long offset = lrintf(shift * 128.0f);
  if (offset != 0) {
    const double hz = static_cast<double>(offset) * rate / transform_size;
    const double x0 = x_of(p, 1000), x1 = x_of(p, 1000 + hz);
    const double y = p.y + 16;
    cairo_set_source_rgb(cr, 0.4, 0.85, 0.6);
    cairo_set_line_width(cr, 2);
    cairo_move_to(cr, x0, y);
    cairo_line_to(cr, x1, y);
    cairo_stroke(cr);
    const double dir = x1 >= x0 ? 1 : -1;
    cairo_move_to(cr, x1, y);
    cairo_line_to(cr, x1 - dir * 8, y - 5);
    cairo_line_to(cr, x1 - dir * 8, y + 5);
    cairo_fill(cr);
    char s[48];
    snprintf(s, sizeof s, "shift %+ld bins (%+.0f Hz)", offset, hz);
    text(cr, x0 + 4, y + 16, s, 11);
  }
  // The legend, top left, where the spectrum is rarely loud.
  struct {
    const char *name;
    double r, g, b;
  } legend[] = {{"input", 0.45, 0.55, 0.70},
                {"output", 1.0, 0.55, 0.15},
                {"held", 1.0, 0.85, 0.25},
                {"gate", 0.95, 0.25, 0.25}};
  double lx = p.x + 8;
  for (auto &l : legend) {
    cairo_set_source_rgb(cr, l.r, l.g, l.b);
    cairo_rectangle(cr, lx, p.y + 8, 10, 8);
    cairo_fill(cr);
    text(cr, lx + 14, p.y + 16, l.name, 10);
    lx += 62;
  }
}

void draw_button(cairo_t *cr, const Rect &r, bool on, const char *label, const char *state,
                 double red, double green, double blue) {
  cairo_set_source_rgb(cr, on ? red : 0.18, on ? green : 0.19, on ? blue : 0.22);
  cairo_rectangle(cr, r.x, r.y, r.w, r.h);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, on ? 0.05 : 0.85, on ? 0.05 : 0.87, on ? 0.05 : 0.9);
  text(cr, r.x + r.w / 2, r.y + r.h / 2, label, 16, true);
  text(cr, r.x + r.w / 2, r.y + r.h / 2 + 20, state, 11, true);
}

void draw_controls(Ui &ui, cairo_t *cr) {
  const bool frozen = ui.value[static_cast<unsigned>(Role::FREEZE)] >= 0.5f;
  draw_button(cr, freeze_rect(ui), frozen, "FREEZE", frozen ? "holding" : "live", 0.35, 0.75, 1.0);
  if (has(ui, Role::ENABLED)) {
    const bool on = ui.value[static_cast<unsigned>(Role::ENABLED)] >= 0.5f;
    draw_button(cr, bypass_rect(ui), on, "ON", on ? "processing" : "bypassed", 0.45, 0.85, 0.45);
  }
  for (unsigned i = 0; i < 4; ++i) {
    const Role role = slider_roles[i];
    const RoleInfo &info = roles[static_cast<unsigned>(role)];
    const Rect r = slider_rect(ui, i);
    const float v = ui.value[static_cast<unsigned>(role)];
    const double t = (v - info.minimum) / (info.maximum - info.minimum);
    cairo_set_source_rgb(cr, 0.18, 0.19, 0.22);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.35, 0.6, 0.85);
    const double from = role == Role::SHIFT ? 0.5 : 0.0; // shift grows from its middle
    const double a = r.x + r.w * (t < from ? t : from), b = r.x + r.w * (t < from ? from : t);
    cairo_rectangle(cr, a, r.y, b - a, r.h);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.95, 0.95, 0.95);
    cairo_rectangle(cr, r.x + r.w * t - 2, r.y - 3, 4, r.h + 6);
    cairo_fill(cr);
    char s[48];
    const char *names[] = {"Mix", "Blur", "Shift", "Threshold"};
    if (role == Role::SHIFT) {
      snprintf(s, sizeof s, "%s %+ld bins", names[i], lrintf(v * 128.0f));
    } else {
      snprintf(s, sizeof s, "%s %.0f%%", names[i], v * 100.0);
    }
    cairo_set_source_rgb(cr, 0.85, 0.87, 0.9);
    text(cr, r.x, r.y - 10, s, 12);
  }
}

void draw(Ui &ui) {
  cairo_t *cr = cairo_create(ui.surface);
  cairo_push_group(cr);
  cairo_set_source_rgb(cr, 0.12, 0.13, 0.15);
  cairo_paint(cr);
  draw_plot(ui, cr);
  draw_controls(ui, cr);
  cairo_pop_group_to_source(cr);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(ui.surface);
  XFlush(ui.dpy);
  ui.dirty = false;
}

// --- Input -----------------------------------------------------------------

void slide(Ui &ui, Role role, unsigned i, double x) {
  const RoleInfo &info = roles[static_cast<unsigned>(role)];
  const Rect r = slider_rect(ui, i);
  const double t = (x - r.x) / r.w;
  set_control(ui, role, static_cast<float>(info.minimum + t * (info.maximum - info.minimum)));
}

void press(Ui &ui, const XButtonEvent &e) {
  if (freeze_rect(ui).has(e.x, e.y) && e.button == Button1) {
    set_control(ui, Role::FREEZE,
                ui.value[static_cast<unsigned>(Role::FREEZE)] >= 0.5f ? 0.0f : 1.0f);
    return;
  }
  if (has(ui, Role::ENABLED) && bypass_rect(ui).has(e.x, e.y) && e.button == Button1) {
    set_control(ui, Role::ENABLED,
                ui.value[static_cast<unsigned>(Role::ENABLED)] >= 0.5f ? 0.0f : 1.0f);
    return;
  }
  for (unsigned i = 0; i < 4; ++i) {
    Rect r = slider_rect(ui, i);
    r.y -= 24; // the label too
    r.h += 30;
    if (!r.has(e.x, e.y)) {
      continue;
    }
    const Role role = slider_roles[i];
    if (e.button == Button4 || e.button == Button5) { // the wheel: fine steps
      const RoleInfo &info = roles[static_cast<unsigned>(role)];
      const float step = role == Role::SHIFT ? 1.0f / 128 : (info.maximum - info.minimum) / 100;
      set_control(ui, role,
                  ui.value[static_cast<unsigned>(role)] + (e.button == Button4 ? step : -step));
    } else if (e.button == Button1) {
      ui.drag = true;
      ui.dragging = role;
      slide(ui, role, i, e.x);
    }
    return;
  }
}

void on_event(Ui &ui, XEvent &e) {
  switch (e.type) {
  case Expose: ui.dirty = true; break;
  case ConfigureNotify:
    if (e.xconfigure.width != ui.width || e.xconfigure.height != ui.height) {
      ui.width = e.xconfigure.width;
      ui.height = e.xconfigure.height;
      cairo_xlib_surface_set_size(ui.surface, ui.width, ui.height);
      ui.dirty = true;
    }
    break;
  case ButtonPress: press(ui, e.xbutton); break;
  case ButtonRelease: ui.drag = false; break;
  case MotionNotify:
    if (ui.drag) {
      for (unsigned i = 0; i < 4; ++i) {
        if (slider_roles[i] == ui.dragging) {
          slide(ui, ui.dragging, i, e.xmotion.x);
        }
      }
    }
    break;
  case ClientMessage:
    if (static_cast<Atom>(e.xclient.data.l[0]) == ui.wm_delete) {
      ui.closed = true;
    }
    break;
  default: break;
  }
}

// --- The LV2 UI ------------------------------------------------------------

const LV2_Feature *feature(const LV2_Feature *const *features, const char *uri) {
  for (; features && *features; ++features) {
    if (!strcmp((*features)->URI, uri)) {
      return *features;
    }
  }
  return nullptr;
}

LV2UI_Handle instantiate(const LV2UI_Descriptor *, const char *plugin_uri, const char *,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget *widget, const LV2_Feature *const *features) {
  const PluginInfo *plugin = nullptr;
  for (const PluginInfo &p : plugin_table) {
    if (p.ui && !strcmp(p.uri, plugin_uri)) {
      plugin = &p;
    }
  }
  const LV2_Feature *map_f = feature(features, LV2_URID__map);
  if (!plugin || !map_f) {
    return nullptr;
  }
  auto *map = static_cast<LV2_URID_Map *>(map_f->data);
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    return nullptr;
  }
  auto *ui = static_cast<Ui *>(calloc(1, sizeof(Ui)));
  if (!ui || !map_spectrum_urids(ui->urid, map)) {
    free(ui);
    XCloseDisplay(dpy);
    return nullptr;
  }
  ui->plugin = plugin;
  ui->dpy = dpy;
  ui->write = write;
  ui->controller = controller;
  ui->event_transfer = map->map(map->handle, LV2_ATOM__eventTransfer);
  lv2_atom_forge_init(&ui->forge, map);
  ui->width = default_width;
  ui->height = default_height;
  for (unsigned r = 0; r < role_count; ++r) {
    ui->value[r] = roles[r].fallback;
  }

  const LV2_Feature *parent_f = feature(features, LV2_UI__parent);
  const Window parent =
      parent_f ? reinterpret_cast<Window>(parent_f->data) : RootWindow(dpy, DefaultScreen(dpy));
  ui->win = XCreateSimpleWindow(dpy, parent, 0, 0, ui->width, ui->height, 0, 0, 0x1f2126);
  XStoreName(dpy, ui->win, plugin->name);
  char res_name[] = "quorvane_ui", res_class[] = "Quorvane";
  XClassHint class_hint = {res_name, res_class};
  XSetClassHint(dpy, ui->win, &class_hint);
  XSizeHints hints = {};
  hints.flags = PMinSize | PBaseSize;
  hints.min_width = 420;
  hints.min_height = 260;
  hints.base_width = default_width;
  hints.base_height = default_height;
  XSetWMNormalHints(dpy, ui->win, &hints);
  XSelectInput(dpy, ui->win,
               ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                   Button1MotionMask);
  ui->wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(dpy, ui->win, &ui->wm_delete, 1);
  ui->surface = cairo_xlib_surface_create(dpy, ui->win, DefaultVisual(dpy, DefaultScreen(dpy)),
                                          ui->width, ui->height);
  XMapRaised(dpy, ui->win);
  XFlush(dpy);
  if (const LV2_Feature *resize = feature(features, LV2_UI__resize)) {
    auto *r = static_cast<LV2UI_Resize *>(resize->data);
    r->ui_resize(r->handle, ui->width, ui->height);
  }
  // An X11 UI's widget is its window's XID, passed as a pointer.
  *widget = reinterpret_cast<LV2UI_Widget>(ui->win); // NOLINT(performance-no-int-to-ptr)
  send(*ui, ui->urid.listen);
  ui->listened_at = now();
  ui->dirty = true;
  return ui;
}

void cleanup(LV2UI_Handle handle) {
  auto *ui = static_cast<Ui *>(handle);
  send(*ui, ui->urid.unlisten);
  cairo_surface_destroy(ui->surface);
  XDestroyWindow(ui->dpy, ui->win);
  XCloseDisplay(ui->dpy);
  free(ui);
}

void read_vector(const LV2_Atom *a, LV2_URID floats, float *to) {
  const auto *v = reinterpret_cast<const LV2_Atom_Vector *>(a);
  if (v->atom.size < sizeof(LV2_Atom_Vector_Body) + spectrum_bands * sizeof(float) ||
      v->body.child_type != floats || v->body.child_size != sizeof(float)) {
    return;
  }
  memcpy(to, v + 1, spectrum_bands * sizeof(float));
}

void port_event(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
                const void *buffer) {
  auto *ui = static_cast<Ui *>(handle);
  if (port >= ui->plugin->port_count) {
    return;
  }
  const Role role = ui->plugin->ports[port];
  if (format == 0 && size == sizeof(float)) {
    const float v = *static_cast<const float *>(buffer); // what the plugin makes of a NaN
    ui->value[static_cast<unsigned>(role)] =
        isfinite(v) ? v : roles[static_cast<unsigned>(role)].fallback;
    ui->dirty = true;
    return;
  }
  if (format != ui->event_transfer || role != Role::NOTIFY) {
    return;
  }
  const auto *atom = static_cast<const LV2_Atom *>(buffer);
  if (size < sizeof(LV2_Atom_Object) || lv2_atom_total_size(atom) > size ||
      atom->type != ui->urid.object) {
    return;
  }
  const auto *obj = reinterpret_cast<const LV2_Atom_Object *>(atom);
  if (obj->body.otype != ui->urid.spectrum) {
    return;
  }
  const LV2_Atom *rate = nullptr, *gate = nullptr, *held = nullptr, *input = nullptr,
                 *output = nullptr, *level = nullptr, *at = nullptr;
  lv2_atom_object_get(obj, ui->urid.rate, &rate, ui->urid.gate, &gate, ui->urid.held, &held,
                      ui->urid.input, &input, ui->urid.output, &output, ui->urid.level, &level,
                      ui->urid.at, &at, 0);
  const LV2_Atom *vectors[] = {input, output, level, at};
  for (const LV2_Atom *v : vectors) {
    if (!v || v->type != ui->urid.vector) {
      return;
    }
  }
  if (!rate || rate->type != ui->urid.floats || !gate || gate->type != ui->urid.floats || !held ||
      held->type != ui->urid.integer) {
    return;
  }
  ui->rate = reinterpret_cast<const LV2_Atom_Float *>(rate)->body;
  ui->bands.gate = reinterpret_cast<const LV2_Atom_Float *>(gate)->body;
  ui->bands.held = reinterpret_cast<const LV2_Atom_Int *>(held)->body;
  read_vector(input, ui->urid.floats, ui->bands.input);
  read_vector(output, ui->urid.floats, ui->bands.output);
  read_vector(level, ui->urid.floats, ui->bands.held_level);
  read_vector(at, ui->urid.floats, ui->bands.held_bin);
  ui->have_bands = true;
  ui->dirty = true;
}

// The host calls this often (jalv and Ardour some 30 times a second): the
// window's events, a redraw if anything changed, and the plugin told every
// second that the window still listens.
int idle(LV2UI_Handle handle) {
  auto *ui = static_cast<Ui *>(handle);
  while (XPending(ui->dpy)) {
    XEvent e;
    XNextEvent(ui->dpy, &e);
    on_event(*ui, e);
  }
  const double t = now();
  if (t - ui->listened_at >= 1.0) {
    send(*ui, ui->urid.listen);
    ui->listened_at = t;
  }
  if (ui->dirty) {
    draw(*ui);
  }
  return ui->closed ? 1 : 0;
}

int resize(LV2UI_Feature_Handle handle, int w, int h) {
  auto *ui = static_cast<Ui *>(handle);
  XResizeWindow(ui->dpy, ui->win, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XFlush(ui->dpy);
  return 0;
}

const LV2UI_Idle_Interface idle_interface = {idle};
const LV2UI_Resize resize_interface = {nullptr, resize};

const void *extension_data(const char *uri) {
  if (!strcmp(uri, LV2_UI__idleInterface)) {
    return &idle_interface;
  }
  if (!strcmp(uri, LV2_UI__resize)) {
    return &resize_interface;
  }
  return nullptr;
}

// Each window's URI: its plugin's, with #ui.
constexpr size_t uri_capacity = 128;
constexpr std::array<char, uri_capacity> ui_uri(const char *plugin) {
  std::array<char, uri_capacity> s{};
  size_t n = 0;
  for (; plugin[n] && n + 4 < uri_capacity; ++n) {
    s[n] = plugin[n];
  }
  s[n] = '#';
  s[n + 1] = 'u';
  s[n + 2] = 'i';
  return s;
}

constexpr uint32_t ui_count() {
  uint32_t n = 0;
  for (const PluginInfo &p : plugin_table) {
    n += p.ui ? 1 : 0;
  }
  return n;
}

// The i-th plugin with a window.
constexpr uint32_t nth_ui(uint32_t i) {
  for (uint32_t p = 0; p < plugin_table_size; ++p) {
    if (plugin_table[p].ui && i-- == 0) {
      return p;
    }
  }
  return plugin_table_size;
}

template <uint32_t i> struct Window_ {
  static constexpr std::array<char, uri_capacity> uri = ui_uri(plugin_table[nth_ui(i)].uri);
  static constexpr LV2UI_Descriptor desc = {uri.data(), instantiate, cleanup, port_event,
                                            extension_data};
};

template <uint32_t... i>
constexpr std::array<const LV2UI_Descriptor *, sizeof...(i)>
descriptors(std::integer_sequence<uint32_t, i...>) {
  return {&Window_<i>::desc...};
}
constexpr auto windows = descriptors(std::make_integer_sequence<uint32_t, ui_count()>());

} // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor *lv2ui_descriptor(uint32_t index) {
  return index < windows.size() ? windows[index] : nullptr;
}
