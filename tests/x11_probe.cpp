// The plugin window seen from outside, for tests/ui-jalv.sh (on the test's
// own X server); the window is found by its class, waiting up to 10 s:
//   x11_probe shot CLASS FILE.png     its picture; prints its size and colours
//   x11_probe click CLASS X Y         a left click (Y < 0: from the bottom)
//   x11_probe diff A.png B.png Y0 Y1  how many pixels differ in rows Y0..Y1
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>

namespace {

Window find(Display *dpy, Window w, const char *name) {
  XClassHint hint = {};
  XWindowAttributes a;
  if (XGetClassHint(dpy, w, &hint)) {
    const bool match = hint.res_name && !strcmp(hint.res_name, name);
    XFree(hint.res_name);
    XFree(hint.res_class);
    if (match && XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable) {
      return w;
    }
  }
  Window root, parent, *children = nullptr, found = 0;
  unsigned count = 0;
  if (XQueryTree(dpy, w, &root, &parent, &children, &count)) {
    for (unsigned i = 0; i < count && !found; ++i) {
      found = find(dpy, children[i], name);
    }
    XFree(children);
  }
  return found;
}

Window wait_for(Display *dpy, const char *name, XWindowAttributes *a) {
  for (int i = 0; i < 100; ++i, usleep(100000)) {
    if (Window w = find(dpy, DefaultRootWindow(dpy), name)) {
      XGetWindowAttributes(dpy, w, a);
      return w;
    }
  }
  fprintf(stderr, "x11_probe: no window of class %s\n", name);
  exit(1);
}

int shot(Display *dpy, const char *name, const char *file) {
  XWindowAttributes a;
  const Window w = wait_for(dpy, name, &a);
  usleep(300000); // a window just mapped draws at the host's next idle call
  XImage *img = XGetImage(dpy, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
  cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, a.width, a.height);
  std::set<unsigned long> colours;
  for (int y = 0; img && y < a.height; ++y) {
    auto *row = reinterpret_cast<uint32_t *>(cairo_image_surface_get_data(s) +
                                             y * cairo_image_surface_get_stride(s));
    for (int x = 0; x < a.width; ++x) {
      row[x] = XGetPixel(img, x, y) & 0xffffff;
      colours.insert(row[x]);
    }
  }
  cairo_surface_mark_dirty(s);
  printf("%dx%d colours %zu\n", a.width, a.height, colours.size());
  return img && cairo_surface_write_to_png(s, file) == CAIRO_STATUS_SUCCESS ? 0 : 1;
}

int click(Display *dpy, const char *name, int x, int y) {
  XWindowAttributes a;
  XEvent e = {};
  e.xbutton = {ButtonPress,
               0,
               True,
               dpy,
               wait_for(dpy, name, &a),
               DefaultRootWindow(dpy),
               0,
               CurrentTime,
               x,
               y < 0 ? a.height + y : y,
               0,
               0,
               0,
               Button1,
               True};
  XSendEvent(dpy, e.xbutton.window, True, ButtonPressMask, &e);
  e.xbutton.type = ButtonRelease;
  e.xbutton.state = Button1Mask;
  XSendEvent(dpy, e.xbutton.window, True, ButtonReleaseMask, &e);
  XSync(dpy, False);
  return 0;
}

int diff(const char *a, const char *b, int y0, int y1) {
  cairo_surface_t *s[2] = {cairo_image_surface_create_from_png(a),
                           cairo_image_surface_create_from_png(b)};
  const int w = cairo_image_surface_get_width(s[0]), h = cairo_image_surface_get_height(s[0]);
  if (cairo_surface_status(s[0]) || cairo_surface_status(s[1]) ||
      w != cairo_image_surface_get_width(s[1]) || h != cairo_image_surface_get_height(s[1])) {
    fprintf(stderr, "x11_probe: cannot compare %s and %s\n", a, b);
    return 1;
  }
  long differ = 0;
  for (int y = y0 < 0 ? 0 : y0; y < (y1 > h ? h : y1); ++y) {
    const uint8_t *r[2];
    for (int i = 0; i < 2; ++i) {
      r[i] = cairo_image_surface_get_data(s[i]) + y * cairo_image_surface_get_stride(s[i]);
    }
    differ += memcmp(r[0], r[1], w * 4) ? 1 : 0; // rows that differ
  }
  printf("%ld\n", differ);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 6 && !strcmp(argv[1], "diff")) {
    return diff(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
  }
  Display *dpy = XOpenDisplay(nullptr);
  const int rc = !dpy                                    ? 1
                 : argc == 4 && !strcmp(argv[1], "shot") ? shot(dpy, argv[2], argv[3])
                 : argc == 5 && !strcmp(argv[1], "click")
                     ? click(dpy, argv[2], atoi(argv[3]), atoi(argv[4]))
                     : 2;
  if (dpy) {
    XCloseDisplay(dpy);
  }
  return rc;
}
