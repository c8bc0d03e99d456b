// KERNEL32's thunk services: what the tests may ask of the pointer mappings.
#pragma once

namespace sim {

unsigned LiveMappings();  // pointer mappings made by the SMapLS family and not yet released

}  // namespace sim
