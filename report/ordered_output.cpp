#include "report/ordered_output.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <string>

struct OutputItem {
    OutputChannel channel;
    std::basic_string<NChar> text; // when child is null
    OutputNode* child;   // a part of the walk that stands here
};

struct OutputNode {
    std::deque<OutputItem> items;
    bool closed = false;
    OutputNode* parent = nullptr; // where the emitter goes on once it is out
    size_t cost = 0;              // counted in heldBytes until it is out
};

// Why the walk cannot hang on its output.
//
// Who waits for whom:
// - A producer waits (flushCapturedOutput) only for the emitter, for room,
//   and only after everything it wrote is in its node's queue: no text of
//   a node is ever held on a thread's stack while that thread waits, and a
//   producer never runs other work while it waits.
// - A producer never waits while the emitter is at its node (emitterAt):
//   the emitter wakes every waiting producer each time it moves on.
// - The emitter waits only for the producer of the node it is at, for text
//   or for the close. That producer is not waiting (the rule above), so it
//   is running; or the node belongs to a folder job still in the pool's
//   queue, which an idle worker is sure to take (the pool queues no more
//   jobs than it has idle workers, and a worker leaves idleness only by
//   taking a job).
// - Opening a node never waits: over the bound it is refused, and the
//   caller walks the folder itself.
// So no cycle: the emitter always has a node whose producer moves, the
// emitter then moves, and room comes back to every producer.
//
// Memory: heldBytes counts the text in the queues plus the cost of every
// node that is not out yet, so whatever the tree it stays below
// ORDERED_OUTPUT_LIMIT plus, per producing thread, one batch
// (PENDING_LIMIT plus one piece of text) and one node.

namespace {

std::mutex lock;
size_t heldBytes = 0;
// The bound in force: ORDERED_OUTPUT_LIMIT unless set lower for a test.
size_t outputLimit = ORDERED_OUTPUT_LIMIT;
// The node the emitter reads now: its producer never waits.
OutputNode* emitterAt = nullptr;
// Each side is woken only when it waits, and the emitter only for news of
// the node it waits on: a wake-up costs a system call.
std::condition_variable emitterWake;
bool emitterWaiting = false;
std::condition_variable producerWake;
int producersWaiting = 0;
// Where text goes that cannot be held for want of memory: straight out,
// out of its place but not lost.
void (*directWrite)(OutputChannel, const NChar*, size_t) = nullptr;

// Called with the lock held, after something was added to node.
void tellEmitter(OutputNode* node)
{
    if (emitterWaiting && node == emitterAt) emitterWake.notify_one();
}
thread_local OutputNode* current = nullptr;

// What the thread wrote into its node and has not handed over yet: texts
// are gathered here and handed over together, so that a line costs no lock
// (and no system call) of its own. A line that announces something long
// (a copy) is handed over at once (flushCapturedOutput).
struct Pending {
    OutputNode* node = nullptr;
    std::deque<OutputItem> items;
    size_t bytes = 0;
};
thread_local Pending pending;
const size_t PENDING_LIMIT = 8192;

// Consecutive texts of one channel share one item. May throw
// std::bad_alloc; items is unchanged then.
void appendText(std::deque<OutputItem>& items, OutputChannel channel, const NChar* text, size_t length)
{
    if (!items.empty() && items.back().child == nullptr && items.back().channel == channel)
        items.back().text.append(text, length);
    else
        items.push_back(OutputItem{channel, std::basic_string<NChar>(text, length), nullptr});
}

// Moves the batch into its node; with the lock held. Items that cannot be
// moved for want of memory go straight out.
void handOver()
{
    OutputNode* node = pending.node;
    for (OutputItem& item : pending.items) {
        size_t length = item.text.size();
        try {
            if (!node->items.empty() && node->items.back().child == nullptr &&
                node->items.back().channel == item.channel)
                node->items.back().text.append(item.text);
            else
                node->items.push_back(std::move(item));
            heldBytes += length;
        } catch (const std::bad_alloc&) {
            if (directWrite != nullptr) directWrite(item.channel, item.text.data(), item.text.size());
        }
    }
    pending.items.clear();
    pending.node = nullptr;
    pending.bytes = 0;
    tellEmitter(node);
}

} // namespace

OutputNode* openOutputRoot()
{
    return new OutputNode();
}

OutputNode* openOutputChild(OutputNode* parent, size_t extraBytes)
{
    flushCapturedOutput();
    OutputNode* child = new (std::nothrow) OutputNode();
    if (child == nullptr) return nullptr;
    child->parent = parent;
    child->cost = sizeof(OutputNode) + sizeof(OutputItem) + extraBytes;
    std::lock_guard<std::mutex> hold(lock);
    if (heldBytes + child->cost > outputLimit) {
        delete child;
        return nullptr;
    }
    try {
        parent->items.push_back(OutputItem{CHANNEL_STDOUT, std::basic_string<NChar>(), child});
    } catch (const std::bad_alloc&) {
        delete child;
        return nullptr;
    }
    heldBytes += child->cost;
    tellEmitter(parent);
    return child;
}

OutputNode* openOutputHere(size_t extraBytes)
{
    return openOutputChild(current, extraBytes);
}

void closeOutputNode(OutputNode* node)
{
    // Closing adds nothing to hold: the batch is handed over without a wait.
    std::lock_guard<std::mutex> hold(lock);
    if (pending.node != nullptr) handOver();
    node->closed = true;
    tellEmitter(node);
}

OutputNode* captureOutputInto(OutputNode* node)
{
    flushCapturedOutput();
    OutputNode* before = current;
    current = node;
    return before;
}

bool capturingOutput()
{
    return current != nullptr;
}

void setOrderedOutputLimit(const char* asked)
{
    outputLimit = ORDERED_OUTPUT_LIMIT;
    if (asked == nullptr || asked[0] < '0' || asked[0] > '9') return;
    char* end = nullptr;
    unsigned long long bytes = strtoull(asked, &end, 10);
    if (*end == 0 && bytes >= ORDERED_OUTPUT_LEAST && bytes <= ORDERED_OUTPUT_LIMIT)
        outputLimit = static_cast<size_t>(bytes);
}

size_t heldOutputBytes()
{
    std::lock_guard<std::mutex> hold(lock);
    return heldBytes;
}

void flushCapturedOutput()
{
    if (pending.node == nullptr) return;
    OutputNode* node = pending.node;
    std::unique_lock<std::mutex> hold(lock);
    // All of it into the queue first, then wait: see the rule above.
    handOver();
    while (heldBytes > outputLimit && emitterAt != node) {
        ++producersWaiting;
        producerWake.wait(hold);
        --producersWaiting;
    }
}

bool captureOutput(OutputChannel channel, const NChar* text, size_t length)
{
    OutputNode* node = current;
    if (node == nullptr) return false;
    if (pending.node != node) {
        flushCapturedOutput();
        pending.node = node;
    }
    try {
        appendText(pending.items, channel, text, length);
    } catch (const std::bad_alloc&) {
        // What is gathered goes into the queue, and the text after it.
        flushCapturedOutput();
        std::lock_guard<std::mutex> hold(lock);
        try {
            appendText(node->items, channel, text, length);
            heldBytes += length;
            tellEmitter(node);
        } catch (const std::bad_alloc&) {
            if (directWrite == nullptr) return false;
            directWrite(channel, text, length);
        }
        return true;
    }
    pending.bytes += length;
    if (pending.bytes >= PENDING_LIMIT) flushCapturedOutput();
    return true;
}

void emitOutput(OutputNode* root, void (*write)(OutputChannel, const NChar*, size_t))
{
    // One node at a time, going down into a child where it stands and back
    // up to the parent once the child is out: no stack that grows with the
    // nesting.
    std::unique_lock<std::mutex> hold(lock);
    directWrite = write;
    OutputNode* node = root;
    root->parent = nullptr;
    while (node != nullptr) {
        emitterAt = node;
        // A producer held back may be the one of this node.
        if (producersWaiting > 0) producerWake.notify_all();
        while (node->items.empty() && !node->closed) {
            emitterWaiting = true;
            emitterWake.wait(hold);
            emitterWaiting = false;
        }
        if (node->items.empty()) {
            OutputNode* parent = node->parent;
            heldBytes -= node->cost;
            delete node;
            node = parent;
            continue;
        }
        OutputItem item = std::move(node->items.front());
        node->items.pop_front();
        if (item.child != nullptr) {
            node = item.child;
            continue;
        }
        heldBytes -= item.text.size();
        if (producersWaiting > 0 && heldBytes <= outputLimit) producerWake.notify_all();
        hold.unlock();
        write(item.channel, item.text.data(), item.text.size());
        hold.lock();
    }
    emitterAt = nullptr;
    directWrite = nullptr;
    if (producersWaiting > 0) producerWake.notify_all();
}
