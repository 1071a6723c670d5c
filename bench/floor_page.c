/* The least a CGI program can do to answer a request: copy a page that is
 * already made to standard output. The page is the file named by the first
 * argument, or "floor-page.html" in the working directory when the program
 * is started as a CGI program without arguments. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  static char page[1 << 16];
  int fd = open(argc > 1 ? argv[1] : "floor-page.html", O_RDONLY);
  if (fd < 0) return 1;
  ssize_t n = read(fd, page, sizeof page);
  close(fd);
  if (n <= 0) return 1;
  return write(1, page, (size_t)n) == n ? 0 : 1;
}
