// File-system work for the output: temporary files, what a replaced file
// keeps, locks and room.

#include "files.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "diag.hpp"

std::string follow_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      break;
    }
    std::vector<char> buf(static_cast<size_t>(std::max<off_t>(st.st_size, PATH_MAX)) + 1);
    const ssize_t n = readlink(path.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) {
      break;
    }
    const std::string link(buf.data(), static_cast<size_t>(n));
    path = link[0] == '/' ? link : directory_of(path).append("/").append(link);
  }
  return path;
}

int make_temp(const std::string &dir, const std::string &name, std::string *path, mode_t mode,
              int dirfd) {
  if (!path) {
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
      return fd;
    }
  }
  // ".NAME.XXXXXX" while that is a legal name, else a short one. Not
  // mkstemp, whose file is always 0600: a new output must get the mode and
  // ACL a new file gets in its folder.
  std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
  if (base.empty() || base.size() + 8 > NAME_MAX) {
    base = "quorvane-render";
  }
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 20 ^
                  static_cast<uint64_t>(getpid()) << 40;
  for (int tries = 0; tries < 1000; ++tries) {
    std::string tmpl = dirfd >= 0 ? "" : dir + "/";
    tmpl.append(".").append(base).append(".");
    for (int i = 0; i < 6; ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      tmpl += letters[(seed >> 33) % (sizeof letters - 1)];
    }
    const int fd = openat(dirfd >= 0 ? dirfd : AT_FDCWD, tmpl.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0) {
      if (path) {
        *path = tmpl;
      } else {
        unlinkat(dirfd >= 0 ? dirfd : AT_FDCWD, tmpl.c_str(), 0);
      }
      return fd;
    }
    if (errno != EEXIST) {
      return -1;
    }
  }
  return -1;
}

bool keep_attributes(int fd, const struct stat &old, const std::string &old_path,
                     const std::string &name) {
  const bool owner = fchown(fd, old.st_uid, old.st_gid) == 0;
  if (!owner && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Not a member of the file's group either: the group is the user's.
  }
  // Extended attributes, the ACL among them (system.posix_acl_access). An
  // ACL the new file took from its folder's default goes if the old file
  // had none, so that it is what it was.
  if (getxattr(old_path.c_str(), "system.posix_acl_access", nullptr, 0) < 0 && errno == ENODATA) {
    fremovexattr(fd, "system.posix_acl_access");
  }
  ssize_t size = listxattr(old_path.c_str(), nullptr, 0);
  std::vector<char> names(size > 0 ? static_cast<size_t>(size) : 0);
  size = size > 0 ? listxattr(old_path.c_str(), names.data(), names.size()) : 0;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(strlen(&names[at])) + 1) {
    const char *attr = &names[at];
    const ssize_t n = getxattr(old_path.c_str(), attr, nullptr, 0);
    std::vector<char> value(n > 0 ? static_cast<size_t>(n) : 0);
    const ssize_t got = n > 0 ? getxattr(old_path.c_str(), attr, value.data(), value.size()) : n;
    // The system labels a new file itself (security.*) where the user may
    // not copy the label.
    if ((got < 0 || fsetxattr(fd, attr, value.data(), static_cast<size_t>(got), 0) != 0) &&
        strncmp(attr, "security.", 9) != 0) {
      warn("note: %s loses its extended attribute %s: %s", name.c_str(), attr, strerror(errno));
    }
  }
  // After the ACL, whose mask is the mode's group bits, so both stay.
  fchmod(fd, old.st_mode & 07777);
  return owner;
}

std::string why_not_replaceable(const std::string &path, const struct stat &st) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int flags = 0;
  if (fd >= 0) {
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
      flags = 0;
    }
    close(fd);
  }
  if (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) {
    return std::string("it is marked ") + (flags & FS_IMMUTABLE_FL ? "immutable" : "append-only") +
           " (chattr), so it cannot be replaced";
  }
  struct stat folder;
  const uid_t me = geteuid();
  if (stat(directory_of(path).c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) &&
      st.st_uid != me && folder.st_uid != me && me != 0) {
    return "it belongs to another user, in a folder with the sticky bit (as /tmp), where only "
           "its owner may replace it";
  }
  return "";
}

void lock_output(int fd, const std::string &name) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
    return; // locked, or a file system without locks
  }
  warn("waiting for another render into %s to finish", name.c_str());
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    stop_if_interrupted(name + " left as it was");
  }
}

void clear_peak_stamp(int fd) {
  unsigned char head[4096];
  const ssize_t n = pread(fd, head, sizeof head, 0);
  if (n < 12 || (memcmp(head, "RIFF", 4) != 0 && memcmp(head, "RF64", 4) != 0) ||
      memcmp(head + 8, "WAVE", 4) != 0) {
    return;
  }
  // The chunks after the RIFF or RF64 header, up to the data.
  for (ssize_t at = 12; at + 16 <= n && memcmp(head + at, "data", 4) != 0;) {
    if (memcmp(head + at, "PEAK", 4) == 0) {
      const uint32_t zero = 0;
      if (pwrite(fd, &zero, sizeof zero, at + 12) != sizeof zero) {
        warn("note: the PEAK chunk keeps its time stamp: %s", strerror(errno));
      }
      return;
    }
    const uint32_t size = head[at + 4] | head[at + 5] << 8 | head[at + 6] << 16 |
                          static_cast<uint32_t>(head[at + 7]) << 24;
    at += 8 + static_cast<ssize_t>(size) + (size & 1);
  }
}

void check_room(int fd, double bytes, double extra, const char *format, const std::string &name) {
  // f_bavail for everyone: root's reserve is for the system, not for a render.
  struct statvfs fs;
  if (fstatvfs(fd, &fs) == 0) {
    const double room = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
    if (bytes + extra > room) {
      fail(exit_usage, "cannot write %s: it would take %s as %s, and its file system has %s free",
           name.c_str(), size_text(bytes + extra).c_str(), format, size_text(room).c_str());
    }
  }
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      bytes > static_cast<double>(limit.rlim_cur)) {
    fail(exit_usage, "cannot write %s: it would take %s as %s, over the %s allowed (ulimit -f)",
         name.c_str(), size_text(bytes).c_str(), format,
         size_text(static_cast<double>(limit.rlim_cur)).c_str());
  }
}
