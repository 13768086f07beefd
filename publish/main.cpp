// tallowfin-publish: makes and checks the file list the updater reads.
#include "publish/command.h"
#include "publish/utf8.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

// The wide entry point gets file names the ANSI code page could not carry;
// they are turned into UTF-8 like everything else the tool handles.
int wmain(int argc, wchar_t** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(tallowfin::publish::Utf8FromPath(std::filesystem::path(argv[i])));
    return tallowfin::publish::RunPublishCommand(arguments, std::cout, std::cerr);
}
#else
int main(int argc, char** argv)
{
    return tallowfin::publish::RunPublishCommand(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
