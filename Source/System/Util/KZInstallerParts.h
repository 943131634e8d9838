#pragma once
// What the installer's workers share: the installer owns every piece, each piece owns its state and
// its lock, and a worker holds this set of references for its life.

#include "System/KZPackFileArchive.h"
#include "System/Util/KZCatalogueFiles.h"
#include "System/Util/KZGuarded.h"
#include "System/Util/KZInstallProgress.h"
#include "System/Util/KZInstallerStateMachine.h"
#include "System/Util/KZInstallerTransfers.h"
#include "System/Util/KZLockedQueue.h"
#include "System/Util/KZRetryPolicy.h"
#include "System/Util/KZRunControl.h"
#include "System/Util/KZRunCatalogue.h"
#include "System/Util/KZWorkerGroup.h"

#include <string>

// The installer's pauses. Tests shorten them.
struct SKZInstallerTiming
{
    // Before the main and the second download worker begin. Nothing has to happen first, so by
    // default they begin at once instead of costing every run half a second.
    unsigned dwStartPauseMs = 0;
    unsigned dwRetryDelayMs = 500;       // the retry policy's first wait
    unsigned dwUnzipBehindWaitMs = 4000; // the most a download waits while the unzip worker is behind
    unsigned dwEmptyQueueWaitMs = 20;    // the longest idle wait of a worker whose queue is empty
    unsigned dwIdleWaitMs = 100;
};

typedef CKZLockedQueue<CKZWebInstallerFile*> KZFileQueue;

struct SKZInstallerParts
{
    const SKZInstallerTiming& timing;
    const std::string& strInstallRoot;
    const bool& bUsePackFiles;
    const CKZRetryPolicy& retryPolicy;
    CKZCatalogueFiles& catalogueFiles;
    CKZRunCatalogue& catalogue;
    CKZInstallProgress& progress;
    CKZInstallerTransfers& transfers;
    CKZWorkerGroup& workers;
    CKZInstallerStateMachine& states;
    CKZRunControl& control;
    CKZGuarded<CKZPackFileArchive>& packs;
    KZFileQueue& zipQueue;      // full-install zips and files of a new install fetched under their own name
    KZFileQueue& downloadQueue; // update downloads
    KZFileQueue& unzipQueue;    // downloaded zips for the unzip worker
};
