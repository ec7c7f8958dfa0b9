#include "backend/core/entry.h"

int main(int argc, char** argv) { return nox::backend_main(argc, argv); }
