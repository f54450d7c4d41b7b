// The engine's services, registered in the order start-up needs them.
#pragma once

// Registers every subsystem's initialisers and services, from the file
// manager up to the Menu and Input executors. The program entry adds the
// Output executors; the in-process engine tests call this and then put
// their own executors or doubles in place.
void engine_register();
