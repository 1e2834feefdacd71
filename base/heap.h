// Giving memory back to the system. A request may build a reply of several
// megabytes (a long folder listing); without care the C library keeps those
// pages after the reply is gone, and an agent that once answered one big
// request stays large for ever on a host where it should cost next to nothing.
//
// Thread safety: KeepLargeBuffersApart is called once by the main thread
// before any session thread starts; ReturnFreedMemory may be called from any
// thread.
#ifndef ORV_BASE_HEAP_H_
#define ORV_BASE_HEAP_H_

// Large buffers get pages of their own, returned to the system when freed.
// (By default the threshold for that rises to the largest buffer ever freed,
// after which multi-megabyte replies are carved from the heap and stay.)
void KeepLargeBuffersApart();

// Returns the free pages of every heap to the system.
void ReturnFreedMemory();

#endif  // ORV_BASE_HEAP_H_
