// File-system work for the output: temporary files, what a replaced file
// keeps, locks and room.
#pragma once

#include <sys/stat.h>

#include <string>

// Follows a chain of symbolic links to the file it ends at, which may not
// exist yet (a dangling link is written through, as a shell would).
std::string follow_links(std::string path);

// A temporary file in `dir`: unnamed if `path` is null, else under a hidden
// name beside `name` (short enough for any legal name) stored in `*path`.
// Returns -1 with errno set on failure.
int make_temp(const std::string &dir, const std::string &name, std::string *path);

// Gives the file `fd` the owner (where allowed), ACL, extended attributes
// and mode of `old`, at `old_path`; a new one (old null) gets the mode it
// would have if created directly.
void keep_attributes(int fd, const struct stat *old, const std::string &old_path,
                     const std::string &name);

// Takes an exclusive lock on `fd`, waiting (interruptibly) while another
// render holds it.
void lock_output(int fd, const std::string &name);

// Sets the time stamp of a WAV's PEAK chunk, if it has one, to 0.
void clear_peak_stamp(int fd);

// Refuses up front `bytes` that cannot fit at `fd`: in what this process
// may use of its file system (`extra` more there) or under ulimit -f.
void check_room(int fd, double bytes, double extra, const char *format, const std::string &name);
