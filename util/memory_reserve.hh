// Address space kept back for the moments when memory runs out.
#ifndef WAREHOUSE_MEMORY_RESERVE_HH
#define WAREHOUSE_MEMORY_RESERVE_HH

/// A mebibyte of address space kept back while the program runs. Unwinding
/// a command that runs out of memory needs a little memory and stack of its
/// own, which a process at its limit does not have: the reserve is given
/// back just before the failure is thrown, and taken again once the command
/// has stopped. A commit to the store borrows it too, so that what a command
/// did before it ran out can still be written.
class MemoryReserve {
public:
    /// From now on the program keeps the reserve, and allocations that fail
    /// give it back before they throw. False, keeping nothing, when the
    /// process's address space limit leaves too little room to run at all.
    static bool keep();

    /// Takes the reserve again, if the program keeps one and it can be had;
    /// costs a test when it is held.
    static void take();

    /// Gives the reserve back for a while; take() takes it again.
    static void giveBack();
};

#endif
