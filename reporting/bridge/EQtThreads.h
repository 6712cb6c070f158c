// QThread objects in the thread registry: a thread that Qt Core starts runs QThread's start
// routine with its QThread as the parameter, so the record names it as its framework object.
#pragma once

// Fills the records of the threads that run now and arranges that each new thread fills its own.
void StartQThreadNaming();
