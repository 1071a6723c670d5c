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
  ssize_t n, total = 0;
  while ((n = read(fd, page, sizeof page)) > 0) {
    if (write(1, page, (size_t)n) != n) return 1;
    total += n;
  }
  close(fd);
  return n == 0 && total > 0 ? 0 : 1;
}
