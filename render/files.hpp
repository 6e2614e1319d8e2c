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
// It is created with `mode`, which the umask or the folder's default ACL
// then narrow as for any new file. Given the folder open as `dirfd`, the
// name stored is relative to it. Returns -1 with errno set on failure.
int make_temp(const std::string &dir, const std::string &name, std::string *path,
              mode_t mode = 0600, int dirfd = -1);

// Gives the file `fd` the owner, ACL, extended attributes and mode of
// `old`, at `old_path`. Returns false if the owner could not be kept (only
// root may give a file away); the group is then kept where the user may
// set it.
bool keep_attributes(int fd, const struct stat &old, const std::string &old_path,
                     const std::string &name);

// Takes an exclusive lock on `fd`, waiting (interruptibly) while another
// render holds it.
void lock_output(int fd, const std::string &name);

// Why the user may not replace `path` (of status `st`) by renaming another
// file over it, or "" if they may: a folder with the sticky bit lets only
// a file's owner (or the folder's) replace it, and an immutable or
// append-only file cannot be replaced at all.
std::string why_not_replaceable(const std::string &path, const struct stat &st);

// Sets the time stamp of a WAV's PEAK chunk, if it has one, to 0.
void clear_peak_stamp(int fd);

// Refuses up front `bytes` that cannot fit at `fd`: in what this process
// may use of its file system (`extra` more there) or under ulimit -f.
void check_room(int fd, double bytes, double extra, const char *format, const std::string &name);
