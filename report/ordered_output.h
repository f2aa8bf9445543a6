// Output of a walk that runs on several threads, in the order one thread
// would have written it.
//
// Every part of the walk (one folder, with the subfolders it walks itself)
// writes into its own node. A node's output is a sequence of texts and of
// child nodes, each child standing at the place where its part of the walk
// began. One emitter writes the whole tree out in that order, each text as
// soon as everything before it is out, so progress lines still flow while
// the walk runs. A producer that runs too far ahead of the emitter waits,
// and a new node over the bound is refused, so the memory held stays
// bounded whatever the tree: the text not yet out and every node not yet
// out (at a fixed cost plus what its caller says it holds for it) come to
// at most ORDERED_OUTPUT_LIMIT, plus for each producing thread one batch
// (8 KiB and one piece of a message) and one node.
#pragma once

#include <cstddef>

#include "platform/text.h"

// CHANNEL_RECORD carries records that the emitter's writer interprets
// (the walk's files with several names), never text for a person.
enum OutputChannel { CHANNEL_STDOUT = 0, CHANNEL_STDERR = 1, CHANNEL_LOG = 2, CHANNEL_RECORD = 3 };

struct OutputNode;

// Characters (and node costs) held before a producer that is not at the
// emitter's place waits, and before a new node is refused.
const size_t ORDERED_OUTPUT_LIMIT = 4u << 20;

// The least bound a test may set.
const size_t ORDERED_OUTPUT_LEAST = 4096;

// Sets a lower bound (asked: the text of LINKSNAP_OUTPUT_LIMIT, a whole
// number of bytes from ORDERED_OUTPUT_LEAST to ORDERED_OUTPUT_LIMIT; any
// other text, or none, keeps ORDERED_OUTPUT_LIMIT). For tests and
// measurements: a small bound makes producers wait for the emitter all the
// time, which is where a walk on threads could hang.
void setOrderedOutputLimit(const char* asked);

// The root of one walk's output.
OutputNode* openOutputRoot();

// A new node at the current end of parent's output; parent must be open.
// extraBytes (what the caller holds for the node until it is closed) is
// counted with it until it is out. Null, without a wait, when the bound
// would be passed or memory is short: the caller then writes its part
// into the node it has, as one thread would.
OutputNode* openOutputChild(OutputNode* parent, size_t extraBytes = 0);

// A new node at the current end of the calling thread's node (which must
// be open and current); null as above.
OutputNode* openOutputHere(size_t extraBytes = 0);

// No more output comes to node (never waits). The producer must not use
// it afterwards.
void closeOutputNode(OutputNode* node);

// Output of the calling thread goes into node from now on; null sends it
// straight out again. Returns the node that was current before.
OutputNode* captureOutputInto(OutputNode* node);

// True while the calling thread's output goes into a node.
bool capturingOutput();

// Adds text to the calling thread's node; false (nothing done) when the
// thread writes straight out. May wait while too much is held, once all
// the thread's text is in its node. Text that cannot be held for want of
// memory is written straight out (out of its place, but not lost).
bool captureOutput(OutputChannel channel, const NChar* text, size_t length);

// What is held now (text and node costs), in bytes.
size_t heldOutputBytes();

// Hands over what the calling thread gathered, so that the emitter can
// show it now: before something that may take long (the copy of a file).
void flushCapturedOutput();

// Writes the output of root and all its nodes in order through write, as
// it becomes available, and returns once root and every node in it are
// closed and written. Frees every node. Needs no memory of its own and no
// stack that grows with the nesting of nodes.
void emitOutput(OutputNode* root, void (*write)(OutputChannel channel, const NChar* text, size_t length));
