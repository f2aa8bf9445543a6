#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/backup_root.h"
#include "cmdline/arguments.h"
#include "cmdline/cmdline_state.h"
#include "engine/copier.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "prune/prune.h"
#include "prune/prune_state.h"
#include "report/ordered_output.h"
#include "report/report_state.h"
#include "report/run_state.h"
#include "report/summary.h"
#include "root/root_state.h"
#include "test_support.h"

namespace {

// Leaves something in the state of every layer and of both programs, the
// way a run or a prune does. root outlives the state that names it.
void useEveryLayer(const TempDir& temp, const NString& root)
{
    NString flag = N("-s");
    NChar* vector[] = {&flag[0]};
    int count = 1;
    NChar** args = vector;
    int silent = 0;
    parseFlags(&count, &args, N("s"), &silent);
    cmdlineState.runSettings.noExec = 1;

    addExcludedFolder(N("cache"));
    addIncludedType(N(".txt"));
    setExcludedRoot(root.c_str());
    shareCopyBuffers(4);
    setStoredLinkAttributes(false);
    keepFailureReasonText(N("open: kept"));
    engineState.resumingSnapshot = true;

    copyText(reportState.log.logPath, PATH_CHARS, temp.at("log.txt").c_str());
    reportState.log.headerWritten = 1;
    setOrderedOutputLimit("4096");
    formatGrouped(1234567);
    runCounters.filesCopied = 5;

    copyText(rootState.storedSourcePath, PATH_CHARS, N("/src/"));
    copyText(rootState.previousSnapshotPath, PATH_CHARS, N("/root/2022_05_28/"));

    storePathSlot(N("/src"));
    copyText(appState.stateSnapshotName, CATALOG_NAME_CHARS, N("2022_05_28"));
    appState.catalog.entries.resize(1);

    pruneState.pruneSettings.silent = 1;
    // A failed call leaves its reason in the platform layer.
    EXPECT_EQ(nullptr, platOpenStream(temp.at("missing/file").c_str(), "rb"));
}

// Every layer's state as a process starts.
void expectLayersAtStart()
{
    EXPECT_EQ(nullptr, cmdlineState.argumentCopy);
    EXPECT_EQ(0, cmdlineState.runSettings.noExec);

    EXPECT_EQ(0, engineState.filters.excludedFolders.count);
    EXPECT_EQ(nullptr, engineState.filters.excludedFolders.items);
    EXPECT_EQ(0, engineState.filters.includedTypes.count);
    EXPECT_FALSE(engineState.walker.rootExcluded);
    EXPECT_EQ(nullptr, engineState.walker.rootName);
    EXPECT_EQ(COPY_BUFFER_MAX, engineState.copier.bufferCap);
    EXPECT_TRUE(engineState.copier.linkAttributesCarried);
    EXPECT_FALSE(hasFailureReason());
    EXPECT_FALSE(engineState.resumingSnapshot);

    EXPECT_EQ(0, reportState.log.logPath[0]);
    EXPECT_EQ(0, reportState.log.headerWritten);
    EXPECT_EQ(ORDERED_OUTPUT_LIMIT, reportState.ordered.outputLimit);
    EXPECT_EQ(0, reportState.summary.groupedText[0]);
    EXPECT_EQ(0, runCounters.filesCopied);

    EXPECT_EQ(0, rootState.storedSourcePath[0]);
    EXPECT_EQ(0, rootState.previousSnapshotPath[0]);

    NChar reason[64];
    platFailureText(reason, 64);
    EXPECT_EQ(0, reason[0]);
}

// Each program's one reset sets back what every layer keeps.
TEST(RunState, EachProgramsResetSetsEveryLayerBack)
{
    TempDir temp;
    const NString root = temp.dir();
    resetRunState();
    useEveryLayer(temp, root);
    resetRunState();
    expectLayersAtStart();
    EXPECT_EQ(0, appState.pathSlots.counter);
    EXPECT_EQ(0, appState.stateSnapshotName[0]);
    EXPECT_TRUE(appState.catalog.entries.empty());

    useEveryLayer(temp, root);
    resetPruneRun();
    expectLayersAtStart();
    EXPECT_EQ(0, pruneState.pruneSettings.silent);
    resetRunState();
}

} // namespace
