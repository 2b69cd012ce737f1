// A program that the shell tests start.
//   exit <code>                    ends with the code
//   hold <file> <ready-file>       keeps file open, creates ready-file, waits to be killed
//   args <out-file> <args...>      writes its folder and arguments, one a line, to out-file
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) return std::atoi(argv[2]);
  if (argc >= 4 && std::strcmp(argv[1], "hold") == 0) {
    int fd = ::open(argv[2], O_RDONLY);
    if (fd < 0) return 2;
    int ready = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (ready < 0) return 3;
    ::close(ready);
    for (;;) ::pause();
  }
  if (argc >= 3 && std::strcmp(argv[1], "args") == 0) {
    FILE* f = std::fopen(argv[2], "w");
    if (!f) return 4;
    std::fprintf(f, "%s\n", std::filesystem::current_path().c_str());
    for (int i = 3; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
    std::fclose(f);
    return 0;
  }
  return 1;
}
