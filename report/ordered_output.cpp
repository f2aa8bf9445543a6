#include "report/ordered_output.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

struct OutputItem {
    OutputChannel channel;
    std::basic_string<NChar> text; // when child is null
    OutputNode* child;   // a part of the walk that stands here
};

struct OutputNode {
    std::deque<OutputItem> items;
    bool closed = false;
};

namespace {

std::mutex lock;
size_t heldBytes = 0;
// The node the emitter reads now: its producer never waits.
OutputNode* emitterAt = nullptr;
// Each side is woken only when it waits, and the emitter only for news of
// the node it waits on: a wake-up costs a system call.
std::condition_variable emitterWake;
bool emitterWaiting = false;
std::condition_variable producerWake;
int producersWaiting = 0;

// Called with the lock held, after something was added to node.
void tellEmitter(OutputNode* node)
{
    if (emitterWaiting && node == emitterAt) emitterWake.notify_one();
}
bool (*helper)() = nullptr;
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

// Consecutive texts of one channel share one item.
void appendText(std::deque<OutputItem>& items, OutputChannel channel, const NChar* text, size_t length)
{
    if (!items.empty() && items.back().child == nullptr && items.back().channel == channel)
        items.back().text.append(text, length);
    else
        items.push_back(OutputItem{channel, std::basic_string<NChar>(text, length), nullptr});
}

} // namespace

OutputNode* openOutputRoot()
{
    return new OutputNode();
}

OutputNode* openOutputChild(OutputNode* parent)
{
    flushCapturedOutput();
    OutputNode* child = new OutputNode();
    std::lock_guard<std::mutex> hold(lock);
    parent->items.push_back(OutputItem{CHANNEL_STDOUT, std::basic_string<NChar>(), child});
    tellEmitter(parent);
    return child;
}

OutputNode* openOutputHere()
{
    return openOutputChild(current);
}

void closeOutputNode(OutputNode* node)
{
    flushCapturedOutput();
    std::lock_guard<std::mutex> hold(lock);
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

void setOutputHelper(bool (*help)())
{
    helper = help;
}

void flushCapturedOutput()
{
    if (pending.node == nullptr) return;
    // Taken out first: a thread that lends a hand below gathers anew.
    OutputNode* node = pending.node;
    std::deque<OutputItem> items = std::move(pending.items);
    size_t bytes = pending.bytes;
    pending.node = nullptr;
    pending.items.clear();
    pending.bytes = 0;
    OutputNode* mine = current;
    std::unique_lock<std::mutex> hold(lock);
    while (heldBytes > ORDERED_OUTPUT_LIMIT && emitterAt != node) {
        // Too far ahead: lend a hand where work waits (the emitter may
        // wait for a part of the walk that nobody has started yet), else
        // wait for the emitter to catch up.
        if (helper != nullptr) {
            hold.unlock();
            bool helped = helper();
            current = mine;
            hold.lock();
            if (helped) continue;
        }
        ++producersWaiting;
        producerWake.wait(hold);
        --producersWaiting;
    }
    for (OutputItem& item : items) appendText(node->items, item.channel, item.text.data(), item.text.size());
    heldBytes += bytes;
    tellEmitter(node);
}

bool captureOutput(OutputChannel channel, const NChar* text, size_t length)
{
    OutputNode* node = current;
    if (node == nullptr) return false;
    if (pending.node != node) {
        flushCapturedOutput();
        pending.node = node;
    }
    appendText(pending.items, channel, text, length);
    pending.bytes += length;
    if (pending.bytes >= PENDING_LIMIT) flushCapturedOutput();
    return true;
}

// Writes node's output in order, waiting for what is not there yet;
// returns once node is closed and all of it is out, and frees it.
static void emitNode(OutputNode* node, void (*write)(OutputChannel, const NChar*, size_t))
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        emitterAt = node;
        // A producer held back may be the one of this node.
        if (producersWaiting > 0) producerWake.notify_all();
        while (node->items.empty() && !node->closed) {
            emitterWaiting = true;
            emitterWake.wait(hold);
            emitterWaiting = false;
        }
        if (node->items.empty()) break;
        OutputItem item = std::move(node->items.front());
        node->items.pop_front();
        if (item.child != nullptr) {
            hold.unlock();
            emitNode(item.child, write);
            hold.lock();
            continue;
        }
        heldBytes -= item.text.size();
        if (producersWaiting > 0 && heldBytes <= ORDERED_OUTPUT_LIMIT) producerWake.notify_all();
        hold.unlock();
        write(item.channel, item.text.data(), item.text.size());
        hold.lock();
    }
    hold.unlock();
    delete node;
}

void emitOutput(OutputNode* root, void (*write)(OutputChannel, const NChar*, size_t))
{
    emitNode(root, write);
    std::lock_guard<std::mutex> hold(lock);
    emitterAt = nullptr;
}
