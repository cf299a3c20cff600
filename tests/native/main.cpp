#include "check.h"

int main(int argc, char** argv) {
  return kelvar_test::run_all(argc, argv);
}
