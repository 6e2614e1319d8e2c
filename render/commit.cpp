// The end of a render: the WAV completed, made durable, and put in its
// place by a rename or a copy.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "diag.hpp"
#include "files.hpp"
#include "output.hpp"

void Output::finish() {
  errno = 0;
  const int closed = sf_close(sound_);
  sound_ = nullptr;
  if (closed != 0) {
    write_failed(errno ? errno : EIO);
  }
  const int wav = mode_ == DIRECT ? fd_ : tmp_fd_;
  if (keep_fd_ >= 0) {
    // Now that the length is known, the WAV, as it would have been written
    // had it been known from the start.
    SF_INFO info{};
    info.samplerate = rate_;
    info.channels = channels_;
    info.format = SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
    lseek(keep_fd_, 0, SEEK_SET);
    SNDFILE *kept = sf_open_fd(keep_fd_, SFM_READ, &info, SF_FALSE);
    if (!kept) {
      write_failed(errno ? errno : EIO);
    }
    sound_ = open_wav(wav, written_);
    std::vector<float> buf(static_cast<size_t>(65536) * static_cast<size_t>(channels_));
    for (long long done = 0; done < written_;) {
      const sf_count_t n = sf_readf_float(kept, buf.data(), 65536);
      if (n <= 0) {
        sf_close(kept);
        write_failed(errno ? errno : EIO);
      }
      errno = 0;
      if (sf_writef_float(sound_, buf.data(), n) != n) {
        const int error = errno;
        sf_close(kept);
        write_failed(error);
      }
      done += n;
    }
    sf_close(kept);
    errno = 0;
    const int wav_closed = sf_close(sound_);
    sound_ = nullptr;
    if (wav_closed != 0) {
      write_failed(errno ? errno : EIO);
    }
  }
  clear_peak_stamp(wav);
  if (mode_ == REPLACE) {
    sync(tmp_fd_);
  }
  // Up to here an interrupt leaves the output as it was; from here on the
  // render is put in place whole. (Written in place, it is already whole.)
  if (mode_ != DIRECT) {
    stop_if_interrupted(left());
  }
  if (mode_ == REPLACE) {
    put_in_place();
  } else if (mode_ != DIRECT) {
    copy_out();
  }
  if (regular_ && mode_ != REPLACE) {
    sync(fd_);
  }
  if (interrupted) {
    warn("note: the interrupt came once the render was complete; %s holds it", name_.c_str());
  }
}

namespace {

// fsync of a file system that has nothing to sync, or cannot (some FUSE
// ones), or of a folder held open without reading it (O_PATH).
bool cannot_sync(int error) {
  return error == EINVAL || error == EROFS || error == EBADF || error == ENOSYS ||
         error == EOPNOTSUPP;
}

} // namespace

// Waits for `fd`'s data to reach the disk, so that a power loss after a
// render that succeeded cannot leave the file empty.
void Output::sync(int fd) {
  if (fsync(fd) != 0 && !cannot_sync(errno)) {
    write_failed(errno);
  }
}

// Renames the finished render over the output, its data on the disk by now;
// then then the folder that holds it, so that after a power
// loss the output is either the old file or the whole new one. A folder
// moved or removed meanwhile is not written into where it went; the
// hidden file goes with the failure.
void Output::put_in_place() {
  const std::string dir = directory_of(target_);
  struct stat held {
  }, named{};
  if (fstat(dir_fd_, &held) != 0 || stat(dir.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
      held.st_ino != named.st_ino) {
    fail(exit_failure, "cannot write %s: its folder %s was moved or removed during the render",
         name_.c_str(), dir.c_str());
  }
  const std::string base = target_.substr(target_.rfind('/') + 1);
  if (renameat(dir_fd_, tmp_path_.c_str(), dir_fd_, base.c_str()) != 0) {
    write_failed(errno);
  }
  tmp_path_.clear();
  if (fsync(dir_fd_) != 0 && !cannot_sync(errno)) {
    fail(exit_failure, "%s is in place, but its folder could not be synced: %s", name_.c_str(),
         strerror(errno));
  }
}

// Copies the finished render into the output itself: where it stands, or
// into a file from its start under a lock, so two renders never mix, and
// with its blocks reserved first, so a full disk leaves it as it was. Into
// a regular file an interrupt waits for the copy to end, so the file is
// never left half old, half new; a pipe's reader gets what was copied.
void Output::copy_out() {
  const off_t size = lseek(tmp_fd_, 0, SEEK_END);
  if (mode_ == INPLACE) {
    lock_output(fd_, name_);
    if (size > 0 && fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
        (errno == ENOSPC || errno == EDQUOT)) {
      write_failed(errno);
    }
    lseek(fd_, 0, SEEK_SET);
  }
  if (size < 0 || lseek(tmp_fd_, 0, SEEK_SET) != 0) {
    write_failed(errno);
  }
  stop_if_interrupted(left());
  copying_ = true;
  std::vector<char> buf(1 << 20);
  for (;;) {
    if (!regular_) {
      stop_if_interrupted(left());
    }
    const ssize_t got = read(tmp_fd_, buf.data(), buf.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      write_failed(errno);
    }
    if (got == 0) {
      break;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(fd_, buf.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) {
        if (!regular_) {
          stop_if_interrupted(left());
        }
      } else if (put < 0) {
        write_failed(errno);
      }
      done += std::max<ssize_t>(put, 0);
    }
  }
  // Into a file, nothing of what it held may follow the render.
  const off_t end = mode_ == INPLACE ? size : lseek(fd_, 0, SEEK_CUR);
  if (regular_ && end >= 0 && ftruncate(fd_, end) != 0) {
    write_failed(errno);
  }
}
