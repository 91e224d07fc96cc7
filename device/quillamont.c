/* Stand-in for the supervised application on the emulated device: it only
 * waits, under the path the daemon looks for. */
#include <unistd.h>

int main(void) {
    for (;;) pause();
}
