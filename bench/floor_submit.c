/* The least a CGI program can do to answer a submit: run the password tool
 * with the given words, as the program would, read what it prints, then copy
 * a page that is already made to standard output.
 *
 *   floor_submit PAGE TOOL [WORD...]
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  static char page[1 << 16];
  char chunk[2048];
  if (argc < 3) return 2;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid;
  int error = posix_spawnp(&pid, argv[2], &actions, NULL, argv + 2, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) return 1;
  while (read(fds[0], chunk, sizeof chunk) > 0) {
  }
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);

  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  ssize_t n = read(fd, page, sizeof page);
  close(fd);
  if (n <= 0) return 1;
  return write(1, page, (size_t)n) == n ? 0 : 1;
}
