// The plugin window seen from outside, for tests/ui-jalv.sh (on an X server
// of the test's own):
//   x11_probe shot NAME FILE.png      the window of class NAME, as a picture;
//                                     prints its size and number of colours
//   x11_probe click NAME X Y          a left click at X, Y (Y < 0: from the bottom)
//   x11_probe diff A.png B.png Y0 Y1  pixels that differ between rows Y0 and Y1
// Waits up to 10 s for the window to appear; exits 1 if it does not.
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
  if (XGetClassHint(dpy, w, &hint)) {
    const bool match = hint.res_name && !strcmp(hint.res_name, name);
    XFree(hint.res_name);
    XFree(hint.res_class);
    XWindowAttributes a;
    if (match && XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable) {
      return w;
    }
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (XQueryTree(dpy, w, &root, &parent, &children, &count)) {
    for (unsigned i = 0; i < count && !found; ++i) {
      found = find(dpy, children[i], name);
    }
    XFree(children);
  }
  return found;
}

Window wait_for(Display *dpy, const char *name) {
  for (int i = 0; i < 100; ++i) {
    if (Window w = find(dpy, DefaultRootWindow(dpy), name)) {
      return w;
    }
    usleep(100000);
  }
  fprintf(stderr, "x11_probe: no window of class %s\n", name);
  exit(1);
}

// A window that has just appeared may not have drawn yet: up to 3 s for it
// to show more than one colour.
bool blank(XImage *img, int w, int h) {
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (XGetPixel(img, x, y) != XGetPixel(img, 0, 0)) {
        return false;
      }
    }
  }
  return true;
}

int shot(Display *dpy, const char *name, const char *file) {
  const Window w = wait_for(dpy, name);
  XWindowAttributes a;
  XImage *img = nullptr;
  for (int i = 0; i < 30; ++i) {
    XGetWindowAttributes(dpy, w, &a);
    if (img) {
      XDestroyImage(img);
    }
    img = XGetImage(dpy, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!img || !blank(img, a.width, a.height)) {
      break;
    }
    usleep(100000);
  }
  if (!img) {
    return 1;
  }
  cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, a.width, a.height);
  auto *data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  std::set<unsigned long> colours;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      const unsigned long p = XGetPixel(img, x, y) & 0xffffff;
      colours.insert(p);
      reinterpret_cast<uint32_t *>(data + y * stride)[x] = static_cast<uint32_t>(p);
    }
  }
  cairo_surface_mark_dirty(s);
  const bool ok = cairo_surface_write_to_png(s, file) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(s);
  XDestroyImage(img);
  printf("%dx%d colours %zu\n", a.width, a.height, colours.size());
  return ok ? 0 : 1;
}

int click(Display *dpy, const char *name, int x, int y) {
  const Window w = wait_for(dpy, name);
  XWindowAttributes a;
  XGetWindowAttributes(dpy, w, &a);
  XEvent e = {};
  e.xbutton.display = dpy;
  e.xbutton.window = w;
  e.xbutton.root = DefaultRootWindow(dpy);
  e.xbutton.x = x;
  e.xbutton.y = y < 0 ? a.height + y : y;
  e.xbutton.button = Button1;
  e.xbutton.same_screen = True;
  e.type = ButtonPress;
  XSendEvent(dpy, w, True, ButtonPressMask, &e);
  e.type = ButtonRelease;
  e.xbutton.state = Button1Mask;
  XSendEvent(dpy, w, True, ButtonReleaseMask, &e);
  XSync(dpy, False);
  return 0;
}

int diff(const char *a, const char *b, int y0, int y1) {
  cairo_surface_t *sa = cairo_image_surface_create_from_png(a);
  cairo_surface_t *sb = cairo_image_surface_create_from_png(b);
  const int w = cairo_image_surface_get_width(sa), h = cairo_image_surface_get_height(sa);
  if (cairo_surface_status(sa) || cairo_surface_status(sb) ||
      w != cairo_image_surface_get_width(sb) || h != cairo_image_surface_get_height(sb)) {
    fprintf(stderr, "x11_probe: cannot compare %s and %s\n", a, b);
    return 1;
  }
  long differ = 0;
  for (int y = y0 < 0 ? 0 : y0; y < (y1 > h ? h : y1); ++y) {
    const auto *ra = reinterpret_cast<const uint32_t *>(cairo_image_surface_get_data(sa) +
                                                        y * cairo_image_surface_get_stride(sa));
    const auto *rb = reinterpret_cast<const uint32_t *>(cairo_image_surface_get_data(sb) +
                                                        y * cairo_image_surface_get_stride(sb));
    for (int x = 0; x < w; ++x) {
      differ += (ra[x] & 0xffffff) != (rb[x] & 0xffffff);
    }
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
  if (!dpy) {
    fprintf(stderr, "x11_probe: no X display\n");
    return 1;
  }
  int rc = 2;
  if (argc == 4 && !strcmp(argv[1], "shot")) {
    rc = shot(dpy, argv[2], argv[3]);
  } else if (argc == 5 && !strcmp(argv[1], "click")) {
    rc = click(dpy, argv[2], atoi(argv[3]), atoi(argv[4]));
  } else {
    fprintf(stderr, "usage: x11_probe shot NAME FILE | click NAME X Y | diff A B Y0 Y1\n");
  }
  XCloseDisplay(dpy);
  return rc;
}
