#include "app/Server.h"

int main(int argc, char** argv) { return varn::runServer(argc, argv); }
