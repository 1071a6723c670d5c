/* The least a CGI program can do to answer a submit: run the password tool
 * with the given words, as the program would, with the password and a line
 * feed on its standard input (or none, when PASSWORD is "-"), read what it
 * prints, then copy a page that is already made to standard output.
 *
 *   floor_submit PAGE PASSWORD TOOL [WORD...]
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  static char page[1 << 16];
  char chunk[2048];
  if (argc < 4) return 2;

  int out[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (strcmp(argv[2], "-") != 0) {
    size_t length = strlen(argv[2]);
    if (pipe2(in, O_CLOEXEC) != 0 || write(in[1], argv[2], length) != (ssize_t)length ||
        write(in[1], "\n", 1) != 1) {
      return 1;
    }
    close(in[1]);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid;
  int error = posix_spawnp(&pid, argv[3], &actions, NULL, argv + 3, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (in[0] >= 0) close(in[0]);
  if (error != 0) return 1;
  while (read(out[0], chunk, sizeof chunk) > 0) {
  }
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);

  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  ssize_t n = read(fd, page, sizeof page);
  close(fd);
  if (n <= 0) return 1;
  return write(1, page, (size_t)n) == n ? 0 : 1;
}
