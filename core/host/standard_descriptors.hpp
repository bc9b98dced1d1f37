#pragma once
// Descriptors 0-2 held open for the life of the program.
namespace anvil::StandardDescriptors {

// Opens /dev/null on each of 0, 1 and 2 that the starter left closed. Without it the first files
// and sockets opened land there, and a line printed to standard output goes into the lease file
// or the server's socket. Call it first thing in main.
void reserve();

}  // namespace anvil::StandardDescriptors
