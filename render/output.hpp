// The output and how it is written, which depends on what it is:
// - a regular file (or none yet) is rendered into a temporary file beside
//   it and renamed over it at the end, keeping its mode, owner (where
//   allowed), ACL and extended attributes. A symbolic link is followed, so
//   the link stays and the file it points at is replaced.
// - a regular file with other hard links is rendered in full beside itself
//   first, then copied into itself under a lock, so every name sees the new
//   sound and two renders never mix.
// - a device that can seek (/dev/null, standard output redirected to a file)
//   is written in place.
// - a FIFO, pipe or socket cannot seek back to complete a WAV header, so the
//   render goes to an unnamed temporary file and is copied out at the end.
#pragma once

#include <sys/stat.h>

#include <string>

#include <sndfile.h>

class Output {
public:
  Output() = default;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
  ~Output();

  // Decides how to write `name` and opens it for `frames` frames at `rate`
  // (at least that many unless `exact`), after checking that it is not the
  // input, that it may be replaced and that it fits.
  void open(const std::string &name, const struct stat &input, bool force, int rate,
            long long frames, bool exact);
  void write(const float *samples, long long n);
  // Completes the file and puts it in its place.
  void finish();
  // What a failure now leaves of the output, for messages.
  std::string left() const;

private:
  enum Mode { REPLACE, COPY, DIRECT };

  void choose(const struct stat &st, bool exists);
  void check_room(long long frames, bool exact);
  void copy_out();
  [[noreturn]] void write_failed(int error);

  std::string name_;     // as given
  std::string target_;   // REPLACE: the file renamed over, links followed
  std::string tmp_path_; // REPLACE: the hidden file, removed unless renamed
  Mode mode_ = REPLACE;
  bool regular_ = false; // the output is a regular file
  bool rf64_ = false;    // written as RF64, which becomes WAV if it fits
  bool copying_ = false; // COPY: the output itself is being overwritten
  int fd_ = -1;          // COPY and DIRECT: the output itself
  int tmp_fd_ = -1;      // REPLACE and COPY: where the render goes
  off_t old_size_ = 0;
  SNDFILE *sound_ = nullptr;
};
