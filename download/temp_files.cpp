#include "download/temp_files.h"

#include <windows.h>

#include <cctype>

#include "common/handle.h"

namespace tallowfin {

bool IsWorkerTemporaryName(const std::string& name)
{
    // GetTempFileName's form: the prefix, one to four hexadecimal digits of
    // the unique number, ".tmp" in any case.
    if (name.size() < 8 || name.size() > 11 || name.compare(0, 3, "~wu") != 0) return false;
    const std::size_t digits = name.size() - 7;
    for (std::size_t i = 3; i < 3 + digits; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    const std::string extension = name.substr(3 + digits);
    return extension.size() == 4 && extension[0] == '.' && std::tolower(static_cast<unsigned char>(extension[1])) == 't' &&
           std::tolower(static_cast<unsigned char>(extension[2])) == 'm' &&
           std::tolower(static_cast<unsigned char>(extension[3])) == 'p';
}

std::string NewWorkerTemporaryFile(const std::string& folder)
{
    char temp[MAX_PATH + 1] = {};
    if (folder.empty() && GetTempPathA(sizeof temp, temp) == 0) return {};
    char name[MAX_PATH + 1] = {};
    if (GetTempFileNameA(folder.empty() ? temp : folder.c_str(), "~wu", 0, name) == 0) return {};
    return name;
}

int RemoveLeftTemporaryFiles()
{
    char folder[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof folder, folder) == 0) return 0;
    return RemoveLeftTemporaryFiles(folder);
}

int RemoveLeftTemporaryFiles(const std::string& path)
{
    const std::string folder = path.empty() || path.back() == '\\' ? path : path + "\\";
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA((folder + "~wu*").c_str(), &found));
    if (!search) return 0;
    int removed = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsWorkerTemporaryName(found.cFileName)) continue;
        if (DeleteFileA((folder + found.cFileName).c_str())) ++removed;
    } while (FindNextFileA(search.get(), &found));
    return removed;
}

}  // namespace tallowfin
