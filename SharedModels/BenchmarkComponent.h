#pragma once
// The names of the measured components: dotted paths beginning with "app." or "daemon.".
#include <array>
#include <string_view>

namespace joulix::BenchmarkComponent {

inline constexpr std::string_view appSamplingRunCycle = "app.sampling.runCycle";
inline constexpr std::string_view appSamplingSyncConfig = "app.sampling.syncConfig";
inline constexpr std::string_view appSamplingCollectDaemon = "app.sampling.collectDaemonSample";
inline constexpr std::string_view appSamplingCollectBattery =
    "app.sampling.collectBatteryRuntimeInfo";
inline constexpr std::string_view appSamplingPublishState = "app.sampling.publishState";
inline constexpr std::string_view appSamplingPersistSnapshot = "app.storage.persistSnapshot";
inline constexpr std::string_view appSamplingAppendHistory = "app.storage.appendSnapshotHistory";
inline constexpr std::string_view appSamplingEstimateCapture = "app.estimates.capture";
inline constexpr std::string_view appSamplingEstimateEvaluation = "app.estimates.evaluatePending";
inline constexpr std::string_view appSamplingEstimateRefresh = "app.estimates.refreshReport";
inline constexpr std::string_view appSamplingBenchmarks = "app.benchmark.refresh";
inline constexpr std::string_view appLogsNotificationIngest = "app.logs.notificationIngest";
inline constexpr std::string_view appStartupFirstHistoryLoad = "app.startup.firstHistoryLoad";
inline constexpr std::string_view appStartupFirstLiveSnapshot = "app.startup.firstLiveSnapshot";
inline constexpr std::string_view appStartupFirstDetailsRender = "app.startup.firstDetailsRender";
inline constexpr std::string_view appUISamplingPublish = "app.ui.sampling.publish";
inline constexpr std::string_view appUISamplingDerive = "app.ui.sampling.derive";
inline constexpr std::string_view appUIAppendSnapshotHistory = "app.ui.history.appendSnapshot";
inline constexpr std::string_view appUIRebuildEnergyAccumulator = "app.ui.history.rebuildEnergy";
inline constexpr std::string_view appUIReloadSnapshotHistory = "app.ui.history.reload";
inline constexpr std::string_view appUIBuildEstimateReport = "app.ui.estimates.buildReport";
inline constexpr std::string_view appUIStatusBarApplyState = "app.ui.statusBar.applyState";
inline constexpr std::string_view appUIStatusBarRedraw = "app.ui.statusBar.redraw";
inline constexpr std::string_view appUIPopoverApplyState = "app.ui.popover.applyState";
inline constexpr std::string_view appUIDetailsLiveApplyState = "app.ui.details.live.applyState";
inline constexpr std::string_view appUIDetailsHistoryApplyState =
    "app.ui.details.history.applyState";
inline constexpr std::string_view appUIDetailsApplyPipeline = "app.ui.details.applyPipeline";
inline constexpr std::string_view appUIDetailsFilterProcesses = "app.ui.details.filterProcesses";
inline constexpr std::string_view appUIDirectIconLoad = "app.ui.icons.directLoad";
inline constexpr std::string_view appUIDisplayIconSelect = "app.ui.icons.chooseDisplayIcon";
inline constexpr std::string_view appUILogsAppend = "app.ui.logs.append";
inline constexpr std::string_view appUIPowerStateChange = "app.ui.powerState.change";
inline constexpr std::string_view appUILowPowerToggle = "app.ui.lowPowerToggle";
inline constexpr std::string_view appDetailsGraphRebuild = "app.details.graph.rebuild";
inline constexpr std::string_view appDetailsGraphNormalize = "app.details.graph.normalizeHistory";
inline constexpr std::string_view appDetailsGraphSummary = "app.details.graph.summary";
inline constexpr std::string_view appDetailsGraphTotals = "app.details.graph.totals";
inline constexpr std::string_view appDetailsGraphTrends = "app.details.graph.trends";
inline constexpr std::string_view appDetailsGraphAppSeries = "app.details.graph.appSeries";
inline constexpr std::string_view appDetailsProcessList = "app.details.processes.recompute";
inline constexpr std::string_view appDetailsIconResolve = "app.details.icons.resolve";
inline constexpr std::string_view appDetailsIconPrewarm = "app.details.icons.prewarm";
inline constexpr std::string_view daemonXPCStartSampling = "daemon.xpc.startSampling";
inline constexpr std::string_view daemonXPCLatestSnapshot = "daemon.xpc.latestSnapshot";
inline constexpr std::string_view daemonXPCSampleNow = "daemon.xpc.sampleNow";
inline constexpr std::string_view daemonSampleRun = "daemon.sample.run";
inline constexpr std::string_view daemonSampleProcessSampler = "daemon.sample.processSampler";
inline constexpr std::string_view daemonSampleInputBuilder = "daemon.sample.inputBuilder";
inline constexpr std::string_view daemonSampleAttribution = "daemon.sample.attribution";
inline constexpr std::string_view daemonSampleStoreSnapshot = "daemon.sample.storeSnapshot";
inline constexpr std::string_view daemonSampleEncode = "daemon.sample.encodeResponse";
inline constexpr std::string_view daemonInputBuild = "daemon.inputBuilder.build";
inline constexpr std::string_view daemonInputPowermetrics = "daemon.inputBuilder.powermetrics";
inline constexpr std::string_view daemonInputBatteryStatus = "daemon.inputBuilder.batteryStatus";
inline constexpr std::string_view daemonInputDisplayEstimate =
    "daemon.inputBuilder.displayEstimate";
inline constexpr std::string_view daemonInputUSBEstimate = "daemon.inputBuilder.usbEstimate";
inline constexpr std::string_view daemonInputProcessMerge = "daemon.inputBuilder.mergeProcesses";
inline constexpr std::string_view daemonProcessSamplerRun = "daemon.processSampler.run";
inline constexpr std::string_view daemonProcessSamplerPS = "daemon.processSampler.psCommand";
inline constexpr std::string_view daemonProcessSamplerParse = "daemon.processSampler.parse";
inline constexpr std::string_view daemonProcessSamplerResolve =
    "daemon.processSampler.resolveMetadata";
inline constexpr std::string_view daemonProcessSamplerSort = "daemon.processSampler.sortTop";
inline constexpr std::string_view detailsPipelineRebuild = "app.details.pipeline.rebuild";
inline constexpr std::string_view detailsPipelineWindowFilter = "app.details.pipeline.windowFilter";
inline constexpr std::string_view detailsPipelineNaming = "app.details.pipeline.naming";
inline constexpr std::string_view detailsPipelineAggregation = "app.details.pipeline.aggregation";
inline constexpr std::string_view detailsPipelineChartBuild = "app.details.pipeline.chartBuild";

// Every name above, in the same order.
inline constexpr std::array<std::string_view, 67> all = {
    appSamplingRunCycle,
    appSamplingSyncConfig,
    appSamplingCollectDaemon,
    appSamplingCollectBattery,
    appSamplingPublishState,
    appSamplingPersistSnapshot,
    appSamplingAppendHistory,
    appSamplingEstimateCapture,
    appSamplingEstimateEvaluation,
    appSamplingEstimateRefresh,
    appSamplingBenchmarks,
    appLogsNotificationIngest,
    appStartupFirstHistoryLoad,
    appStartupFirstLiveSnapshot,
    appStartupFirstDetailsRender,
    appUISamplingPublish,
    appUISamplingDerive,
    appUIAppendSnapshotHistory,
    appUIRebuildEnergyAccumulator,
    appUIReloadSnapshotHistory,
    appUIBuildEstimateReport,
    appUIStatusBarApplyState,
    appUIStatusBarRedraw,
    appUIPopoverApplyState,
    appUIDetailsLiveApplyState,
    appUIDetailsHistoryApplyState,
    appUIDetailsApplyPipeline,
    appUIDetailsFilterProcesses,
    appUIDirectIconLoad,
    appUIDisplayIconSelect,
    appUILogsAppend,
    appUIPowerStateChange,
    appUILowPowerToggle,
    appDetailsGraphRebuild,
    appDetailsGraphNormalize,
    appDetailsGraphSummary,
    appDetailsGraphTotals,
    appDetailsGraphTrends,
    appDetailsGraphAppSeries,
    appDetailsProcessList,
    appDetailsIconResolve,
    appDetailsIconPrewarm,
    daemonXPCStartSampling,
    daemonXPCLatestSnapshot,
    daemonXPCSampleNow,
    daemonSampleRun,
    daemonSampleProcessSampler,
    daemonSampleInputBuilder,
    daemonSampleAttribution,
    daemonSampleStoreSnapshot,
    daemonSampleEncode,
    daemonInputBuild,
    daemonInputPowermetrics,
    daemonInputBatteryStatus,
    daemonInputDisplayEstimate,
    daemonInputUSBEstimate,
    daemonInputProcessMerge,
    daemonProcessSamplerRun,
    daemonProcessSamplerPS,
    daemonProcessSamplerParse,
    daemonProcessSamplerResolve,
    daemonProcessSamplerSort,
    detailsPipelineRebuild,
    detailsPipelineWindowFilter,
    detailsPipelineNaming,
    detailsPipelineAggregation,
    detailsPipelineChartBuild,
};

}  // namespace joulix::BenchmarkComponent
