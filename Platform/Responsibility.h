#pragma once
// The system's private "responsible process" function (pid to the pid of the process held
// responsible for it), looked up by name in the default symbol namespace. Absent where the
// system does not provide it, as on Linux: each process is then its own responsible process.
#include <cstdint>
#include <functional>

namespace joulix {

using ResponsiblePIDFunction = std::function<int32_t(int32_t)>;

// Performs the lookup now; an empty function when the symbol does not exist.
ResponsiblePIDFunction lookUpResponsiblePIDFunction();

}  // namespace joulix
