// The input: a sound file, or standard input, read as a stream until the
// decoder stops.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include <sndfile.h>

#include "header.hpp"

// The part of a file libsndfile is shown; see input.cpp.
struct Window {
  int fd;
  long long base, length;
  long long pos = 0, reached = 0;
  int error = 0;
};

class Input {
public:
  Input() = default;
  Input(const Input &) = delete;
  Input &operator=(const Input &) = delete;
  ~Input();

  // Opens `name` (or standard input for "-") and reads its header. Input
  // that cannot seek (a pipe, a FIFO) is first kept in an unnamed temporary
  // file, since some formats (FLAC, Ogg) must seek to be read.
  void open(const std::string &name);
  // Fits the input's channels to a plugin's `inputs` audio inputs: as they
  // are, or averaged into one for a mono plugin if `downmix`.
  void fit(int inputs, bool downmix);

  int rate() const { return info_.samplerate; }
  // The frames the input will give, if known before reading; -1 otherwise.
  long long expected() const { return expected_; }
  // What the input is on disk, to tell it from the output.
  const struct stat &file() const { return st_; }

  // Reads up to `n` frames into `to` (a block of `stride` samples for each
  // channel the plugin takes); fewer means the input ended.
  long long read(float *to, long stride, long long n);
  // Frames read so far; once the input ended, its length.
  long long frames() const { return frames_; }

private:
  void keep_stream();
  void find_promise();
  bool placeholder() const {
    return header_.found && placeholder_size(header_.data_size, header_.chunk_after);
  }
  void read_past_placeholder();
  void check_damage(long long total, bool ended);
  std::string why_empty() const;

  std::string name_;
  int fd_ = -1;
  SNDFILE *file_ = nullptr;
  SF_INFO info_{};
  Window window_{-1, 0, 0};
  SoundHeader header_;
  long long size_ = 0;
  struct stat st_ {};
  long long expected_ = -1;
  long long promised_ = -1; // the length a header states, if it states one
  long long frames_ = 0;
  long long checked_ = 0; // frames read when the log was last looked at
  bool ended_ = false;
  bool downmix_ = false;
  std::vector<float> raw_;
};
