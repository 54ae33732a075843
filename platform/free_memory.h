#pragma once

namespace vexa::platform {

// Hands the allocator's free pages back to the system. A server whose
// connections each run on a thread of their own frees memory in many
// allocator arenas, and the pages between live blocks would otherwise stay
// resident, so its memory would creep up with every connection it served.
void returnFreeMemory();

} // namespace vexa::platform
