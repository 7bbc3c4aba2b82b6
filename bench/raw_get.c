/* Floor for any gateway: one process start plus one loopback exchange. Sends
 * GET for the path in QUERY_STRING ("path=/x") to 127.0.0.1:8011 over a raw
 * socket and copies the reply to standard output. Not the product. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void) {
    const char *query = getenv("QUERY_STRING");
    const char *path = query && strncmp(query, "path=", 5) == 0 ? query + 5 : "/";
    char request[1024];
    int n =
        snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: 127.0.0.1:8011\r\n\r\n", path);
    if (n < 0 || n >= (int)sizeof request) return 1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(8011)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) return 1;
    if (write(fd, request, (size_t)n) != n) return 1;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        if (write(1, buffer, (size_t)got) != got) return 1;
    return 0;
}
