#include "startup/Vexa.h"

int main(int argc, char** argv) {
  return Vexa::main(argc, argv);
}
