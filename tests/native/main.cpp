#include "check.h"

int main() { return kelvar_test::run_all(); }
