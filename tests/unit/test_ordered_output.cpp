// Output of a walk on several threads comes out in the order of a walk on
// one thread, also when later parts run far ahead of earlier ones.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "report/ordered_output.h"

namespace {

std::string emitted;
int lastChannel = -1;

// Marks each change of channel, so that texts split differently compare equal.
void collect(OutputChannel channel, const NChar* text, size_t length)
{
    if (channel != lastChannel) emitted += static_cast<char>('0' + channel);
    lastChannel = channel;
    emitted.append(text, length);
}

void say(OutputChannel channel, const std::string& text)
{
    ASSERT_TRUE(captureOutput(channel, text.data(), text.size()));
}

} // namespace

TEST(OrderedOutput, PartsWrittenOutOfOrderComeOutInWalkOrder)
{
    emitted.clear();
    lastChannel = -1;
    OutputNode* root = openOutputRoot();
    captureOutputInto(root);
    say(CHANNEL_STDOUT, "start\n");
    const int PARTS = 6;
    std::vector<OutputNode*> parts;
    for (int k = 0; k < PARTS; ++k) {
        parts.push_back(openOutputChild(root));
        say(CHANNEL_LOG, "after " + std::to_string(k) + "\n");
    }
    say(CHANNEL_STDOUT, "end\n");
    captureOutputInto(nullptr);
    closeOutputNode(root);

    // The last part is the largest (past the limit of held text) and the
    // first is the slowest: the later ones must wait, not pile up.
    std::vector<std::thread> producers;
    for (int k = PARTS - 1; k >= 0; --k) {
        producers.emplace_back([k, &parts] {
            captureOutputInto(parts[k]);
            if (k == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            say(CHANNEL_STDERR, "part " + std::to_string(k) + "\n");
            // A subfolder walked by the same thread, in between.
            // Refused over the bound: then written in place, as the
            // walker does.
            OutputNode* inner = openOutputChild(parts[k]);
            if (inner != nullptr) captureOutputInto(inner);
            int lines = k == PARTS - 1 ? 250000 : 3;
            for (int line = 0; line < lines; ++line)
                say(CHANNEL_STDOUT, "inner " + std::to_string(k) + " line " + std::to_string(line) + "\n");
            if (inner != nullptr) {
                closeOutputNode(inner);
                captureOutputInto(parts[k]);
            }
            say(CHANNEL_STDERR, "done " + std::to_string(k) + "\n");
            captureOutputInto(nullptr);
            closeOutputNode(parts[k]);
        });
    }
    emitOutput(root, collect);
    for (std::thread& t : producers) t.join();

    std::string expected = "0start\n";
    for (int k = 0; k < PARTS; ++k) {
        int lines = k == PARTS - 1 ? 250000 : 3;
        expected += "1part " + std::to_string(k) + "\n0";
        for (int line = 0; line < lines; ++line)
            expected += "inner " + std::to_string(k) + " line " + std::to_string(line) + "\n";
        expected += "1done " + std::to_string(k) + "\n";
        expected += "2after " + std::to_string(k) + "\n";
    }
    expected += "0end\n";
    // Where they part, for the failure message.
    size_t at = 0;
    while (at < emitted.size() && at < expected.size() && emitted[at] == expected[at]) ++at;
    EXPECT_TRUE(emitted == expected) << "from byte " << at << ": " << emitted.substr(at, 60);
}

namespace {

// A one-shot signal between the test's threads.
struct Latch {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    void release()
    {
        std::lock_guard<std::mutex> hold(lock);
        open = true;
        changed.notify_all();
    }
    bool wait(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, limit, [this] { return open; });
    }
};

// A hang is a failure, not a test run that never ends: the threads that
// hang cannot be joined, so the test program ends here.
void failHung(const char* what)
{
    fprintf(stderr, "hung: %s\n", what);
    fflush(stderr);
    std::_Exit(1);
}

void sayMany(OutputChannel channel, char c, size_t bytes)
{
    std::string chunk(8192, c);
    for (; bytes >= chunk.size(); bytes -= chunk.size()) say(channel, chunk);
    if (bytes > 0) say(channel, std::string(bytes, c));
}

} // namespace

// Over the bound, a producer whose node the emitter has not reached yet
// must not keep any of its node's text back while it waits: the emitter
// reaches that node meanwhile and needs it. Here a later part holds the
// bound full, a folder job waits for room, and the emitter is let on only
// once both producers are stuck over the bound.
TEST(OrderedOutput, ProducerOverTheBoundNeverHoldsBackTheEmittersNode)
{
    emitted.clear();
    lastChannel = -1;
    OutputNode* root = openOutputRoot();
    OutputNode* first = openOutputChild(root);  // its producer is slow
    OutputNode* middle = openOutputChild(root); // written over the bound
    OutputNode* last = openOutputChild(root);   // holds the bound full
    ASSERT_TRUE(first != nullptr && middle != nullptr && last != nullptr);
    closeOutputNode(root);
    captureOutputInto(last);
    OutputNode* job = openOutputHere();         // a folder job, taken later
    ASSERT_TRUE(job != nullptr);
    captureOutputInto(nullptr);

    std::thread holder([&] {
        captureOutputInto(last);
        sayMany(CHANNEL_STDOUT, 'L', ORDERED_OUTPUT_LIMIT + 100);
        captureOutputInto(nullptr);
        closeOutputNode(last);
    });
    // The bound is full (the holder waits, all its text handed over).
    for (int k = 0; heldOutputBytes() <= ORDERED_OUTPUT_LIMIT; ++k) {
        if (k == 3000000) failHung("the bound never filled");
        std::this_thread::yield();
    }
    std::promise<void> emitterDone;
    std::thread emitter([&] {
        emitOutput(root, collect);
        emitterDone.set_value();
    });
    Latch jobStarted;
    std::thread producer([&] {
        captureOutputInto(middle);
        sayMany(CHANNEL_STDERR, 'M', 8192);
        sayMany(CHANNEL_STDERR, 'M', 8192);
        captureOutputInto(nullptr);
        closeOutputNode(middle);
    });
    std::thread worker([&] {
        jobStarted.release();
        captureOutputInto(job);
        sayMany(CHANNEL_LOG, 'J', 3 * 8192);
        captureOutputInto(nullptr);
        closeOutputNode(job);
    });
    if (!jobStarted.wait(std::chrono::seconds(30))) failHung("the folder job never started");
    closeOutputNode(first);
    if (emitterDone.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready)
        failHung("the emitter waits for a node whose text a waiting producer holds");
    emitter.join();
    holder.join();
    producer.join();
    worker.join();
    std::string expected = "1" + std::string(2 * 8192, 'M') + "2" + std::string(3 * 8192, 'J') + "0" +
                           std::string(ORDERED_OUTPUT_LIMIT + 100, 'L');
    EXPECT_TRUE(emitted == expected);
}

// Nodes count toward the bound: with the emitter held at the first part,
// new nodes are refused (the caller walks the folder itself) once the
// bound is reached, instead of piling up; each is taken again once out.
TEST(OrderedOutput, NodesCountTowardTheBoundAndAreRefusedPastIt)
{
    emitted.clear();
    lastChannel = -1;
    OutputNode* root = openOutputRoot();
    OutputNode* first = openOutputChild(root);
    captureOutputInto(root);
    const size_t JOB_BYTES = 64 << 10;
    size_t opened = 0;
    std::vector<OutputNode*> nodes;
    for (;;) {
        OutputNode* node = openOutputHere(JOB_BYTES);
        if (node == nullptr) break;
        nodes.push_back(node);
        ASSERT_LT(++opened, 2 * ORDERED_OUTPUT_LIMIT / JOB_BYTES) << "nodes are not counted";
    }
    EXPECT_GE(opened, ORDERED_OUTPUT_LIMIT / JOB_BYTES - 2);
    for (OutputNode* node : nodes) closeOutputNode(node);
    captureOutputInto(nullptr);
    closeOutputNode(root);
    closeOutputNode(first);
    emitOutput(root, collect);
    // All of it out, the bound is whole again.
    OutputNode* again = openOutputRoot();
    OutputNode* child = openOutputChild(again, ORDERED_OUTPUT_LIMIT - 4096);
    EXPECT_TRUE(child != nullptr);
    if (child != nullptr) closeOutputNode(child);
    closeOutputNode(again);
    emitOutput(again, collect);
}
