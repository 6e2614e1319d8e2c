// Damaged data told from a file cut short: the first is a failure, the
// second rendered as far as it goes.

#include <string.h>
#include <unistd.h>

#include <string>

#include "cli.hpp"
#include "diag.hpp"
#include "input.hpp"

namespace {

// What libsndfile logs of damaged data: a hole in an Ogg stream (never
// where a stream is merely cut short), and a FLAC decoder's error (also
// where a file ends mid-frame, so a fault only if decoding went on).
const char *const hole_marks[] = {"reports a hole", "Hole found", "Corrupted bitstream"};
const char *const error_mark = "ERROR :";

// The line of `log` that holds `mark`, or "".
std::string line_with(const char *log, const char *mark) {
  const char *at = strstr(log, mark);
  if (!at) {
    return "";
  }
  while (at > log && at[-1] != '\n') {
    --at;
  }
  return "libsndfile: " + std::string(at, strcspn(at, "\n"));
}

} // namespace

// Damaged data in the middle of a stream is a failure, not a gap: a hole
// libsndfile logs, an error after which decoding went on, a decoder that
// stopped with more of the file unread than a tag at its end, or an Ogg
// stream whose last page gives more than it decodes to. A file cut short
// is read to its end. `total` is what the input gave so far (-1 just after
// opening it); `ended` whether it has ended.
void Input::check_damage(long long total, bool ended) {
  char log[4096] = {};
  sf_command(file_, SFC_GET_LOG_INFO, log, sizeof log);
  std::string why;
  for (const char *mark : hole_marks) {
    why = why.empty() ? line_with(log, mark) : why;
  }
  const int type = info_.format & SF_FORMAT_TYPEMASK;
  if (!ended) {
    const bool flac = type == SF_FORMAT_FLAC && total >= 0;
    why = why.empty() && flac ? line_with(log, error_mark) : why;
  } else {
    // FLAC's count is its header's; an MP3's is libsndfile's, from its
    // frame count where that agrees with the file's size. Ogg stops at the
    // end of its stream, whatever follows it.
    const long long count = type == SF_FORMAT_FLAC                                 ? promised_
                            : type == SF_FORMAT_MPEG && info_.frames < max_samples ? info_.frames
                                                                                   : -1;
    if (why.empty() && total < count && window_.reached < window_.length) {
      char tag[12] = {};
      if (pread(fd_, tag, sizeof tag - 1, window_.reached) < 0) {
        tag[0] = '\0';
      }
      if (strncmp(tag, "TAG", 3) != 0 && strncmp(tag, "ID3", 3) != 0 &&
          strncmp(tag, "APETAGEX", 8) != 0 && strncmp(tag, "LYRICSBEGIN", 11) != 0) {
        why = "the decoder stopped with " + std::to_string(window_.length - window_.reached) +
              " bytes of the file unread";
      }
    }
    // An MP3 that holds every byte its header gives but decodes to fewer
    // frames than it says had frames skipped (the decoder resyncs past
    // damage, saying so only on stderr).
    long long start = 0;
    const long long bytes = why.empty() && type == SF_FORMAT_MPEG && total < count
                                ? mpeg_stream_bytes(fd_, &start)
                                : -1;
    if (bytes > 0 && size_ - start >= bytes) {
      why = "its header gives " + std::to_string(count) + " frames in " + std::to_string(bytes) +
            " bytes, all there";
    }
    if (why.empty() && type == SF_FORMAT_OGG && info_.frames < max_samples &&
        total < info_.frames) {
      why = "its last page gives " + std::to_string(info_.frames) + " frames";
    }
  }
  if (!why.empty()) {
    fail(exit_failure, "cannot decode %s: damaged data%s (%s)", name_.c_str(),
         total < 0 ? "" : (" before sample " + std::to_string(total)).c_str(), why.c_str());
  }
}
