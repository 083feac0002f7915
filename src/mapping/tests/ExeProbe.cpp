// A small program that prints what the file-system utilities find about the running executable, so that
// the tests can run it under another name and in another environment.

#include "mapping/FileUtils.h"

#include <cstdio>

int main()
{
    using namespace pagestow::mapping;
    std::printf("dir=%s\nbase=%s\ndocuments=%s\n", GetExeDirectory().c_str(), GetExeBaseName().c_str(),
        GetSpecialFolderPath(5).c_str());
    return 0;
}
