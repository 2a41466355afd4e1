// One program at a time on a file or folder. The locks are flocks, which
// the kernel lets go when the process ends however it ends, so a lock file
// left behind holds nothing.
#ifndef SF_FLEET_LOCK_FILE_H
#define SF_FLEET_LOCK_FILE_H

#include <string>

// Takes fd's flock without waiting. False with error set: "PATH: another
// PROGRAM is using this WHAT" while another process holds it, with " (pid N)"
// after PROGRAM when pid_file (when given) holds the holder's id, or "PATH:
// flock: REASON" when it cannot be taken.
bool lock_exclusively(int fd, const std::string &path, const char *program, const char *what, std::string &error,
                      const std::string &pid_file = "");

// Takes the lock of the file at path: PATH.lock, created when absent, with
// this process's id written in it so that a second can name the first. The
// file at path itself may be replaced by a rename, which would leave a lock
// on it behind on the old file. Returns the lock's descriptor, to be held
// while the process uses path, or -1 with error set as lock_exclusively's.
int lock_beside(const std::string &path, const char *program, const char *what, std::string &error);

#endif
