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
std::condition_variable changed;
size_t heldBytes = 0;
// The node the emitter reads now: its producer never waits.
OutputNode* emitterAt = nullptr;
bool (*helper)() = nullptr;
thread_local OutputNode* current = nullptr;

} // namespace

OutputNode* openOutputRoot()
{
    return new OutputNode();
}

OutputNode* openOutputChild(OutputNode* parent)
{
    OutputNode* child = new OutputNode();
    std::lock_guard<std::mutex> hold(lock);
    parent->items.push_back(OutputItem{CHANNEL_STDOUT, std::basic_string<NChar>(), child});
    changed.notify_all();
    return child;
}

OutputNode* openOutputHere()
{
    return openOutputChild(current);
}

void closeOutputNode(OutputNode* node)
{
    std::lock_guard<std::mutex> hold(lock);
    node->closed = true;
    changed.notify_all();
}

OutputNode* captureOutputInto(OutputNode* node)
{
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

bool captureOutput(OutputChannel channel, const NChar* text, size_t length)
{
    OutputNode* node = current;
    if (node == nullptr) return false;
    std::unique_lock<std::mutex> hold(lock);
    while (heldBytes > ORDERED_OUTPUT_LIMIT && emitterAt != node) {
        // Too far ahead: lend a hand where work waits (the emitter may
        // wait for a part of the walk that nobody has started yet), else
        // wait for the emitter to catch up.
        if (helper != nullptr) {
            hold.unlock();
            bool helped = helper();
            captureOutputInto(node);
            hold.lock();
            if (helped) continue;
        }
        changed.wait(hold);
    }
    std::deque<OutputItem>& items = node->items;
    // Consecutive texts of one channel share one item.
    if (!items.empty() && items.back().child == nullptr && items.back().channel == channel)
        items.back().text.append(text, length);
    else
        items.push_back(OutputItem{channel, std::basic_string<NChar>(text, length), nullptr});
    heldBytes += length;
    changed.notify_all();
    return true;
}

// Writes node's output in order, waiting for what is not there yet;
// returns once node is closed and all of it is out, and frees it.
static void emitNode(OutputNode* node, void (*write)(OutputChannel, const NChar*, size_t))
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        emitterAt = node;
        changed.notify_all();
        while (node->items.empty() && !node->closed) changed.wait(hold);
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
        changed.notify_all();
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
