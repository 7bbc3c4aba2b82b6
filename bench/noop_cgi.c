/* Ceiling for any CGI program: prints a fixed response, contacts nothing. */
#include <string.h>
#include <unistd.h>

int main(void) {
    static const char reply[] = "Status: 200 OK\r\nContent-Type: text/plain\r\n"
                                "Content-Length: 13\r\n\r\nhello, world\n";
    return write(1, reply, sizeof reply - 1) == (ssize_t)(sizeof reply - 1) ? 0 : 1;
}
