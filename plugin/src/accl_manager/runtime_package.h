// Inspects a downloaded runtime package (a gzip-compressed tar archive) before it is unpacked, and
// refuses one whose members could land or point outside the install folder.
#pragma once

#include <string>

struct PackageVerdict {
    bool safe = false;
    // Why the package was refused; empty when it is safe.
    std::string reason;
};

// Safe when the archive reads completely and every member is a file, folder or link whose path (and
// link target) stays below installDirectory without passing through a link, whether a link of the
// archive or one already on disk.
PackageVerdict inspectRuntimePackage(const std::string& packagePath, const std::string& installDirectory);
