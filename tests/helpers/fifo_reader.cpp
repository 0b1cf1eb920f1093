// fifo_reader FIFO: a level-meter reader in a process of its own.  For every line
// on standard input: "r" reads one 56-byte record and prints its 14 words on one
// line; "n" prints how many unread bytes the pipe holds.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc != 2) return 2;
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) return 1;
    char command[16];
    while (fgets(command, sizeof command, stdin)) {
        if (command[0] == 'n') {
            int unread = -1;
            ioctl(fd, FIONREAD, &unread);
            printf("%d\n", unread);
        } else if (command[0] == 'r') {
            int32_t record[14];
            size_t got = 0;
            while (got < sizeof record) {
                const ssize_t n = read(fd, reinterpret_cast<char*>(record) + got, sizeof record - got);
                if (n <= 0) return 1;
                got += static_cast<size_t>(n);
            }
            for (int w = 0; w < 14; ++w)
                printf(w ? " %d" : "%d", record[w]);
            printf("\n");
        }
        fflush(stdout);
    }
    return 0;
}
