#include "digestcache/seek_penalty.h"

#include <windows.h>
#include <winioctl.h>

#include <set>

#include "common/handle.h"

namespace tallowfin {

namespace {

// The device name of the volume whose root is `root` ("C:\" or a mounted
// folder), for CreateFile: "\\.\C:" for a drive letter, otherwise the
// volume's own name without its final backslash.
std::string VolumeDevice(const std::string& root)
{
    if (root.size() == 3 && root[1] == ':' && root[2] == '\\') return "\\\\.\\" + root.substr(0, 2);
    char name[MAX_PATH + 1] = {};
    if (!GetVolumeNameForVolumeMountPointA(root.c_str(), name, sizeof name)) return {};
    std::string device = name;
    if (!device.empty() && device.back() == '\\') device.pop_back();
    return device;
}

// The root of the volume that holds `path`; empty when there is none.
std::string VolumeRoot(const std::string& path)
{
    char root[MAX_PATH + 1] = {};
    return GetVolumePathNameA(path.c_str(), root, sizeof root) ? std::string(root) : std::string();
}

SeekPenalty PenaltyOfRoot(const std::string& root)
{
    const std::string device = root.empty() ? std::string() : VolumeDevice(root);
    if (device.empty()) return SeekPenalty::kUnknown;
    // No access asked for: the property query needs none, so it works
    // without administrator rights.
    VolumeHandle volume(CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    if (!volume) return SeekPenalty::kUnknown;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
    DWORD size = 0;
    if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer, sizeof answer,
                         &size, nullptr) ||
        size < sizeof answer)
        return SeekPenalty::kUnknown;
    return answer.IncursSeekPenalty ? SeekPenalty::kSome : SeekPenalty::kNone;
}

}  // namespace

SeekPenalty SeekPenaltyOf(const std::vector<std::string>& paths)
{
    // Folders first: files share them by the hundred, and finding a volume's
    // root costs a call each.
    std::set<std::string> folders, roots;
    for (const std::string& path : paths) folders.insert(path.substr(0, path.find_last_of('\\') + 1));
    for (const std::string& folder : folders) roots.insert(VolumeRoot(folder.empty() ? "." : folder));
    SeekPenalty all = roots.empty() ? SeekPenalty::kUnknown : SeekPenalty::kNone;
    for (const std::string& root : roots) {
        const SeekPenalty one = PenaltyOfRoot(root);
        if (one == SeekPenalty::kSome) return one;
        if (one == SeekPenalty::kUnknown) all = one;
    }
    return all;
}

}  // namespace tallowfin
