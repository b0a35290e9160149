#include "agent/natives/CallbackNatives.h"

#include "agent/natives/ClearNatives.h"
#include "agent/natives/DatabaseNatives.h"
#include "agent/natives/DispatchNatives.h"
#include "agent/natives/EventTableNatives.h"
#include "agent/natives/InstrumentationNatives.h"
#include "agent/natives/ObjectMapNatives.h"
#include "agent/natives/ProbeNatives.h"
#include "agent/natives/ProcessExitNatives.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/natives/ReflectionNatives.h"
#include "agent/natives/StatusNatives.h"
#include "agent/support/JniUtils.h"

// One row: the Java name, its signature and the function exported under that name, so that a row cannot
// name one native and point to another. JNI declares the text fields without const, though
// RegisterNatives only reads them.
#define CALLBACK_NATIVE(name, signature)                                   \
  {                                                                        \
    const_cast<char*>(#name), const_cast<char*>(signature),                \
        reinterpret_cast<void*>(&Java_com_brantel_runtime_Callback_##name) \
  }

JNINativeMethod callbackNativesTable[callbackNativesCount] = {
    CALLBACK_NATIVE(addProbePath, "(Ljava/lang/String;)V"),
    CALLBACK_NATIVE(addSnapshotInfo, "(Ljava/lang/String;J)V"),
    CALLBACK_NATIVE(advanceGeneration, "(Ljava/lang/String;)V"),
    CALLBACK_NATIVE(callObjectMethod, "(Ljava/lang/Class;Ljava/lang/Object;JJ[Ljava/lang/Object;[J)Ljava/lang/Object;"),
    CALLBACK_NATIVE(callPrimOrVoidMethod, "(Ljava/lang/Class;Ljava/lang/Object;JJI[Ljava/lang/Object;[J)J"),
    CALLBACK_NATIVE(captureSnapshot, "(Ljava/lang/String;IJ)Ljava/lang/String;"),
    CALLBACK_NATIVE(clearAllocationData, "()V"),
    CALLBACK_NATIVE(clearCpuData, "()V"),
    CALLBACK_NATIVE(clearEventTables, "(Ljava/lang/String;)V"),
    CALLBACK_NATIVE(clearExceptions, "()V"),
    CALLBACK_NATIVE(clearMonitorData, "()V"),
    CALLBACK_NATIVE(closeEventTableRow, "(IIZLjava/lang/String;)V"),
    CALLBACK_NATIVE(correctUptimeMs, "(J)V"),
    CALLBACK_NATIVE(createEventTable, "(Ljava/lang/String;Ljava/lang/String;)I"),
    CALLBACK_NATIVE(createEventTableRow, "(I)I"),
    CALLBACK_NATIVE(createMarker, "(II)V"),
    CALLBACK_NATIVE(createObjectMap, "()J"),
    CALLBACK_NATIVE(deleteEventTableRow, "(II)V"),
    CALLBACK_NATIVE(deleteObjectMap, "(J)V"),
    CALLBACK_NATIVE(dispatchLong, "(Ljava/lang/String;)J"),
    CALLBACK_NATIVE(dispatchNullable, "(Ljava/lang/String;[Ljava/lang/String;)Ljava/lang/Object;"),
    CALLBACK_NATIVE(excludeThreadFromAsyncSampling, "()V"),
    CALLBACK_NATIVE(findLoadedClass, "(Ljava/lang/String;)Ljava/lang/Class;"),
    CALLBACK_NATIVE(findPropertyRecordIndex, "(I)I"),
    CALLBACK_NATIVE(findSnapshot, "(Ljava/lang/String;)Z"),
    CALLBACK_NATIVE(forceGarbageCollectionJvmti, "()Z"),
    CALLBACK_NATIVE(getAllocationRecordingSettingsRecordEach, "()I"),
    CALLBACK_NATIVE(getAllocationRecordingSettingsSizeLimit, "()I"),
    CALLBACK_NATIVE(getCapabilities, "()J"),
    CALLBACK_NATIVE(getDatabaseStatistics, "()Ljava/lang/String;"),
    CALLBACK_NATIVE(getEventTableDescription, "(I)Ljava/lang/String;"),
    CALLBACK_NATIVE(getExitedProcesses, "()[I"),
    CALLBACK_NATIVE(getFieldId, "(Ljava/lang/Class;Ljava/lang/String;Ljava/lang/String;Z)J"),
    CALLBACK_NATIVE(getFieldObjectValue, "(Ljava/lang/Class;Ljava/lang/Object;J)Ljava/lang/Object;"),
    CALLBACK_NATIVE(getFieldPrimValue, "(Ljava/lang/Class;Ljava/lang/Object;JI)J"),
    CALLBACK_NATIVE(getFreePorts, "(II)[I"),
    CALLBACK_NATIVE(getFrozenThreadsImpl, "(J)[I"),
    CALLBACK_NATIVE(getMethodId, "(Ljava/lang/Class;Ljava/lang/String;Ljava/lang/String;Z)J"),
    CALLBACK_NATIVE(getNativeAllocationCounterResult, "()J"),
    CALLBACK_NATIVE(getPhase, "()I"),
    CALLBACK_NATIVE(getProbes, "(I)[Ljava/lang/String;"),
    CALLBACK_NATIVE(getProcessCpuTimeNs, "()J"),
    CALLBACK_NATIVE(getProcessCpuTimeSplitNs, "()[J"),
    CALLBACK_NATIVE(getProcessID, "(J)I"),
    CALLBACK_NATIVE(getProcessMemoryUsage, "()J"),
    CALLBACK_NATIVE(getProcessPhysicalMemoryUsage, "()J"),
    CALLBACK_NATIVE(getStatus, "()J"),
    CALLBACK_NATIVE(getStrID, "(Ljava/lang/String;)I"),
    CALLBACK_NATIVE(getSystemCpuTimeNs, "()J"),
    CALLBACK_NATIVE(getTelemetryPeriodMs, "()I"),
    CALLBACK_NATIVE(getTimeNsForTracing, "()J"),
    CALLBACK_NATIVE(getTopEventTableNames, "()Ljava/lang/String;"),
    CALLBACK_NATIVE(getTotalCreatedObjectSize, "()J"),
    CALLBACK_NATIVE(getTotalExceptionsThrown, "()J"),
    CALLBACK_NATIVE(getUptimeMs, "()J"),
    CALLBACK_NATIVE(isLiveObjectId, "(J)Z"),
    CALLBACK_NATIVE(isProbeOn, "(Ljava/lang/String;)Z"),
    CALLBACK_NATIVE(message, "(Ljava/lang/String;Ljava/lang/String;)V"),
    CALLBACK_NATIVE(messageToLogFile, "(Ljava/lang/String;)V"),
    CALLBACK_NATIVE(messageToStderr, "(Ljava/lang/String;)V"),
    CALLBACK_NATIVE(messageToStdout, "(Ljava/lang/String;)V"),
    CALLBACK_NATIVE(messageToTable, "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V"),
    CALLBACK_NATIVE(objectGetId, "(Ljava/lang/Object;)J"),
    CALLBACK_NATIVE(objectMapGet, "(JLjava/lang/Object;)I"),
    CALLBACK_NATIVE(objectMapPut, "(JLjava/lang/Object;IZI)I"),
    CALLBACK_NATIVE(onLoadNativeLibrary, "()V"),
    CALLBACK_NATIVE(onUncaughtException, "()V"),
    CALLBACK_NATIVE(patchTemplateClass, "([Ljava/lang/String;)[B"),
    CALLBACK_NATIVE(registerProbesByBytecode, "([[BZZ)Ljava/lang/String;"),
    CALLBACK_NATIVE(registerProbesByName, "([Ljava/lang/String;)Ljava/lang/String;"),
    CALLBACK_NATIVE(registerProcessExitListener, "(JI)V"),
    CALLBACK_NATIVE(retransformClassesLoadedBeforeAgentAttached, "()V"),
    CALLBACK_NATIVE(setEventTableInt32Column, "(IIII)V"),
    CALLBACK_NATIVE(setEventTableLongColumn, "(IIIJ)V"),
    CALLBACK_NATIVE(setEventTableStringColumn, "(IIILjava/lang/String;)V"),
    CALLBACK_NATIVE(setFieldObjectValue, "(Ljava/lang/Class;Ljava/lang/Object;JLjava/lang/Object;)V"),
    CALLBACK_NATIVE(setMinimumRecordedLastingEventTime, "(II)V"),
    CALLBACK_NATIVE(setProbeActivityModes, "([Ljava/lang/String;[I)Ljava/lang/String;"),
    CALLBACK_NATIVE(setProperty, "(Ljava/lang/String;Ljava/lang/String;)I"),
    CALLBACK_NATIVE(setPropertyByRecordIndex, "(II)V"),
    CALLBACK_NATIVE(shouldSkipThread, "()Z"),
    CALLBACK_NATIVE(startAllocationRecording, "(IIJLjava/lang/String;)Ljava/lang/String;"),
    CALLBACK_NATIVE(startCpuProfiling, "(JLjava/lang/String;)Ljava/lang/String;"),
    CALLBACK_NATIVE(startExceptionProfiling, "()V"),
    CALLBACK_NATIVE(startMonitorProfiling, "()Ljava/lang/String;"),
    CALLBACK_NATIVE(startStackTelemetry, "()V"),
    CALLBACK_NATIVE(stopAllocationRecording, "()V"),
    CALLBACK_NATIVE(stopCpuProfiling, "(Z)V"),
    CALLBACK_NATIVE(stopExceptionProfiling, "()V"),
    CALLBACK_NATIVE(stopMonitorProfiling, "()V"),
    CALLBACK_NATIVE(stopStackTelemetry, "()V"),
    CALLBACK_NATIVE(storeTelemetryRecord, "([I[I[I[I)V"),
    CALLBACK_NATIVE(throwException, "(Ljava/lang/Class;)V"),
    CALLBACK_NATIVE(unregisterProbes, "([Ljava/lang/String;)V"),
    CALLBACK_NATIVE(validateMethodPattern, "(Ljava/lang/String;)Ljava/lang/String;"),
    CALLBACK_NATIVE(writeTables, "(II[I)V"),
    CALLBACK_NATIVE(bzpInit0, "(Ljava/lang/Object;IIS)I"),
    CALLBACK_NATIVE(bzpMethodEntry0, "(I)J"),
    CALLBACK_NATIVE(bzpMethodExit0, "(IJ)V"),
    CALLBACK_NATIVE(bzpMethodLine0, "(I)V"),
};

#undef CALLBACK_NATIVE
