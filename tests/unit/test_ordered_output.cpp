// Output of a walk on several threads comes out in the order of a walk on
// one thread, also when later parts run far ahead of earlier ones.
#include <gtest/gtest.h>

#include <chrono>
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
            OutputNode* inner = openOutputChild(parts[k]);
            captureOutputInto(inner);
            int lines = k == PARTS - 1 ? 250000 : 3;
            for (int line = 0; line < lines; ++line)
                say(CHANNEL_STDOUT, "inner " + std::to_string(k) + " line " + std::to_string(line) + "\n");
            closeOutputNode(inner);
            captureOutputInto(parts[k]);
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
