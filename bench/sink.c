/* An upstream that takes POST bodies and throws them away, for the streaming
 * benchmark: reads the header section, answers Expect: 100-continue, reads
 * Content-Length bytes, answers "ok". One connection at a time. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

static char buffer[1 << 20];

static void serve(int c) {
    size_t have = 0;
    char *end = NULL;
    while (!end) {
        ssize_t got = read(c, buffer + have, sizeof buffer - have - 1);
        if (got <= 0) return;
        have += (size_t)got;
        buffer[have] = 0;
        end = strstr(buffer, "\r\n\r\n");
        if (!end && have == sizeof buffer - 1) return;
    }
    long long length = 0;
    for (char *line = strstr(buffer, "\r\n"); line && line < end; line = strstr(line + 2, "\r\n")) {
        if (strncasecmp(line + 2, "Content-Length:", 15) == 0) length = atoll(line + 17);
        if (strncasecmp(line + 2, "Expect: 100-continue", 20) == 0)
            (void)!write(c, "HTTP/1.1 100 Continue\r\n\r\n", 25);
    }
    long long left = length - (long long)(have - (size_t)(end + 4 - buffer));
    while (left > 0) {
        ssize_t got = read(c, buffer, sizeof buffer);
        if (got <= 0) return;
        left -= got;
    }
    static const char ok[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok\n";
    (void)!write(c, ok, sizeof ok - 1);
}

int main(void) {
    int s = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(8011)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(s, 16) != 0) return 1;
    for (;;) {
        int c = accept(s, NULL, NULL);
        if (c < 0) continue;
        serve(c);
        close(c);
    }
}
