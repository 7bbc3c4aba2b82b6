/* Reads standard input to its end and prints how many bytes came: the
 * reader at the far end of the streaming benchmark's pipe, much faster than
 * the programs measured, so they set the pace. */
#include <stdio.h>
#include <unistd.h>

static char buffer[1 << 20];

int main(void) {
    unsigned long long total = 0;
    ssize_t got;
    while ((got = read(0, buffer, sizeof buffer)) > 0)
        total += (unsigned long long)got;
    printf("%llu\n", total);
    return got < 0;
}
