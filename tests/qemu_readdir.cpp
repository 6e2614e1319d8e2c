// Preloaded into the 32-bit Arm test programs under qemu-user only. The
// emulator is a 64-bit process, so ext4 hands it 64-bit directory offsets,
// and the 32-bit readdir of glibc then fails with EOVERFLOW: lilv would find
// no bundle at all. This readdir reads through readdir64 instead; nothing
// here uses the offsets, which a 32-bit kernel would have kept small.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

extern "C" __attribute__((visibility("default"))) dirent *readdir(DIR *dir) {
  static thread_local dirent entry;
  const dirent64 *e = readdir64(dir);
  if (!e) {
    return nullptr;
  }
  entry.d_ino = static_cast<decltype(entry.d_ino)>(e->d_ino);
  entry.d_off = static_cast<decltype(entry.d_off)>(e->d_off);
  entry.d_reclen = sizeof entry;
  entry.d_type = e->d_type;
  strncpy(entry.d_name, e->d_name, sizeof entry.d_name - 1);
  entry.d_name[sizeof entry.d_name - 1] = '\0';
  return &entry;
}

// Programs that run others through the emulator (the renderer's tests) would
// hand the variable to the emulator itself, a host program; the emulator's
// own -E passes it on to the program it runs.
__attribute__((constructor)) static void drop_preload() { unsetenv("LD_PRELOAD"); }
