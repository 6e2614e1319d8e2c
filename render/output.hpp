// The output and how it is written, which depends on what it is:
// - a regular file (or none yet) is rendered into a temporary file beside
//   it and renamed over it at the end, keeping its mode, owner, ACL and
//   extended attributes. A symbolic link is followed, so the link stays and
//   the file it points at is replaced.
// - a regular file that a rename would change, as one with other hard
//   links or one of another user's that only root could give back, is
//   rendered in full beside itself first, then copied into itself under a
//   lock, so every name sees the new sound, the file stays whose it was,
//   and two renders never mix.
// - a device that can seek (/dev/null, standard output redirected to a file)
//   is written in place.
// - a FIFO, pipe or socket cannot seek back to complete a WAV header, so the
//   render goes to an unnamed temporary file and is copied out at the end;
//   so does standard output that appends (>>) or already holds something.
// A WAV's header must state its length; when that is not known in advance,
// the samples are kept headerless until the end and the WAV written then,
// so the same samples always give the same bytes.
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

  // Decides how to write `name` and opens it for `frames` frames of
  // `channels` at `rate` (at least that many unless `exact`), after
  // checking that it is not the input, that it may be replaced and that it
  // fits.
  void open(const std::string &name, const struct stat &input, bool force, int rate, int channels,
            long long frames, bool exact);
  void write(const float *frames, long long n);
  // Completes the file and puts it in its place.
  void finish();
  // What a failure now leaves of the output, for messages.
  std::string left() const;

private:
  // REPLACE renames a file over the output; INPLACE and STREAM copy a
  // finished render into it (from its start, or where it stands); DIRECT
  // writes it as it goes.
  enum Mode { REPLACE, INPLACE, STREAM, DIRECT };

  void check_writable(const struct stat &st, bool force);
  void choose(const struct stat &st, bool exists, bool force);
  void in_place(const std::string &target, const std::string &dir);
  void check_room(long long frames, bool exact);
  SNDFILE *open_wav(int fd, long long frames);
  void copy_out();
  void sync(int fd);
  void put_in_place();
  [[noreturn]] void write_failed(int error);

  std::string name_;     // as given
  std::string target_;   // REPLACE, INPLACE: the file replaced, links followed
  std::string tmp_path_; // REPLACE: the hidden file in dir_fd_, removed unless renamed
  int dir_fd_ = -1;      // REPLACE: the folder it is in
  Mode mode_ = REPLACE;
  bool regular_ = false; // the output is a regular file
  bool linked_ = false;  // INPLACE: it has other hard links
  bool copying_ = false; // INPLACE, STREAM: the output itself is being written
  int rate_ = 0;
  int channels_ = 1;
  int fd_ = -1;      // INPLACE, STREAM and DIRECT: the output itself
  int tmp_fd_ = -1;  // REPLACE, INPLACE and STREAM: where the WAV goes first
  int keep_fd_ = -1; // length not known: where the samples go first
  long long written_ = 0;
  off_t old_size_ = 0;
  SNDFILE *sound_ = nullptr;
};
