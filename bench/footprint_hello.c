/* The smallest terminal program to compare consoledemo's start with: the C
 * library's start-up, one line on standard output, exit. */
#include <stdio.h>

int main(void) {
  puts("Please enter your name:");
  return 0;
}
