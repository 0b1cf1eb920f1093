// Calls MobuCommon::setFileName(argv[1]) and prints the result and the file name,
// so tests can run it under another password database.
#include <MobuEmbedded/MobuCommon.h>

#include <iostream>

int main(int argc, char* argv[]) {
    if (argc < 2) return 2;
    MobuCommon common;
    const int r = common.setFileName(argv[1]);
    std::cout << "result " << r << " file " << common.getFileName() << std::endl;
    return 0;
}
