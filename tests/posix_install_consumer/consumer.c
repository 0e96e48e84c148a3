/* Calls the installed library: port numbers outside 1 to 4 are refused
 * without touching any port, so this runs on any machine. */
#include <pelcor.h>
#include <stdio.h>

int main(void) {
  if (InitComm(0) != 1 || InitComm(5) != 1 || CloseComm(1) != 0 ||
      Ping(1) != 0) {
    fprintf(stderr, "unexpected results from the installed library\n");
    return 1;
  }
  return 0;
}
