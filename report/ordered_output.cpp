#include "report/ordered_output.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "report/report_state.h"

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

// Called with the lock held, after something was added to node.
void tellEmitter(OutputNode* node)
{
    OrderedOutputState& ordered = reportState.ordered;
    if (ordered.emitterWaiting && node == ordered.emitterAt) ordered.emitterWake.notify_one();
}
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
    Pending& pending = outputThread.pending;
    OrderedOutputState& ordered = reportState.ordered;
    OutputNode* node = pending.node;
    for (OutputItem& item : pending.items) {
        size_t length = item.text.size();
        try {
            if (!node->items.empty() && node->items.back().child == nullptr &&
                node->items.back().channel == item.channel)
                node->items.back().text.append(item.text);
            else
                node->items.push_back(std::move(item));
            ordered.heldBytes += length;
        } catch (const std::bad_alloc&) {
            if (ordered.directWrite != nullptr)
                ordered.directWrite(item.channel, item.text.data(), item.text.size());
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
    OrderedOutputState& ordered = reportState.ordered;
    flushCapturedOutput();
    OutputNode* child = new (std::nothrow) OutputNode();
    if (child == nullptr) return nullptr;
    child->parent = parent;
    child->cost = sizeof(OutputNode) + sizeof(OutputItem) + extraBytes;
    std::lock_guard<std::mutex> hold(ordered.lock);
    if (ordered.heldBytes + child->cost > ordered.outputLimit) {
        delete child;
        return nullptr;
    }
    try {
        parent->items.push_back(OutputItem{CHANNEL_STDOUT, std::basic_string<NChar>(), child});
    } catch (const std::bad_alloc&) {
        delete child;
        return nullptr;
    }
    ordered.heldBytes += child->cost;
    tellEmitter(parent);
    return child;
}

OutputNode* openOutputHere(size_t extraBytes)
{
    return openOutputChild(outputThread.current, extraBytes);
}

void closeOutputNode(OutputNode* node)
{
    Pending& pending = outputThread.pending;
    OrderedOutputState& ordered = reportState.ordered;
    // Closing adds nothing to hold: the batch is handed over without a wait.
    std::lock_guard<std::mutex> hold(ordered.lock);
    if (pending.node != nullptr) handOver();
    node->closed = true;
    tellEmitter(node);
}

OutputNode* captureOutputInto(OutputNode* node)
{
    flushCapturedOutput();
    OutputNode* before = outputThread.current;
    outputThread.current = node;
    return before;
}

bool capturingOutput()
{
    return outputThread.current != nullptr;
}

void setOrderedOutputLimit(const char* asked)
{
    OrderedOutputState& ordered = reportState.ordered;
    ordered.outputLimit = ORDERED_OUTPUT_LIMIT;
    if (asked == nullptr || asked[0] < '0' || asked[0] > '9') return;
    char* end = nullptr;
    unsigned long long bytes = strtoull(asked, &end, 10);
    if (*end == 0 && bytes >= ORDERED_OUTPUT_LEAST && bytes <= ORDERED_OUTPUT_LIMIT)
        ordered.outputLimit = static_cast<size_t>(bytes);
}

size_t heldOutputBytes()
{
    OrderedOutputState& ordered = reportState.ordered;
    std::lock_guard<std::mutex> hold(ordered.lock);
    return ordered.heldBytes;
}

void flushCapturedOutput()
{
    Pending& pending = outputThread.pending;
    OrderedOutputState& ordered = reportState.ordered;
    if (pending.node == nullptr) return;
    OutputNode* node = pending.node;
    std::unique_lock<std::mutex> hold(ordered.lock);
    // All of it into the queue first, then wait: see the rule above.
    handOver();
    while (ordered.heldBytes > ordered.outputLimit && ordered.emitterAt != node) {
        ++ordered.producersWaiting;
        ordered.producerWake.wait(hold);
        --ordered.producersWaiting;
    }
}

bool captureOutput(OutputChannel channel, const NChar* text, size_t length)
{
    Pending& pending = outputThread.pending;
    OrderedOutputState& ordered = reportState.ordered;
    OutputNode* node = outputThread.current;
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
        std::lock_guard<std::mutex> hold(ordered.lock);
        try {
            appendText(node->items, channel, text, length);
            ordered.heldBytes += length;
            tellEmitter(node);
        } catch (const std::bad_alloc&) {
            if (ordered.directWrite == nullptr) return false;
            ordered.directWrite(channel, text, length);
        }
        return true;
    }
    pending.bytes += length;
    if (pending.bytes >= PENDING_LIMIT) flushCapturedOutput();
    return true;
}

void emitOutput(OutputNode* root, void (*write)(OutputChannel, const NChar*, size_t))
{
    OrderedOutputState& ordered = reportState.ordered;
    // One node at a time, going down into a child where it stands and back
    // up to the parent once the child is out: no stack that grows with the
    // nesting.
    std::unique_lock<std::mutex> hold(ordered.lock);
    ordered.directWrite = write;
    OutputNode* node = root;
    root->parent = nullptr;
    while (node != nullptr) {
        ordered.emitterAt = node;
        // A producer held back may be the one of this node.
        if (ordered.producersWaiting > 0) ordered.producerWake.notify_all();
        while (node->items.empty() && !node->closed) {
            ordered.emitterWaiting = true;
            ordered.emitterWake.wait(hold);
            ordered.emitterWaiting = false;
        }
        if (node->items.empty()) {
            OutputNode* parent = node->parent;
            ordered.heldBytes -= node->cost;
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
        ordered.heldBytes -= item.text.size();
        if (ordered.producersWaiting > 0 && ordered.heldBytes <= ordered.outputLimit)
            ordered.producerWake.notify_all();
        hold.unlock();
        write(item.channel, item.text.data(), item.text.size());
        hold.lock();
    }
    ordered.emitterAt = nullptr;
    ordered.directWrite = nullptr;
    if (ordered.producersWaiting > 0) ordered.producerWake.notify_all();
}
