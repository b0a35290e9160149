#include "agent/core/JvmtiCapabilities.h"

#include "agent/core/AgentFlags.h"
#include "agent/core/JavaVersion.h"
#include "agent/core/Options.h"
#include "agent/support/Log.h"

namespace {

void requireCapability(bool available, const char* name) {
  if (!available) logMessage(YString("error: ") + name + ": required capability is not available");
}

void logOptionalMissing(const char* name) { logMessage(YString(name) + ": optional capability is not available"); }

}  // namespace

jvmtiCapabilities chooseMainCapabilities(const jvmtiCapabilities& potential, jvmtiError locationError,
                                         jvmtiJlocationFormat locationFormat) {
  const Options& options = globalOptions();
  jvmtiCapabilities wanted{};

  wanted.can_tag_objects = 1;
  requireCapability(potential.can_tag_objects, "can_tag_objects");
  wanted.can_generate_object_free_events = 1;
  requireCapability(potential.can_generate_object_free_events, "can_generate_object_free_events");

  if (potential.can_generate_all_class_hook_events) {
    wanted.can_generate_all_class_hook_events = 1;
  } else {
    logOptionalMissing("can_generate_all_class_hook_events");
  }
  if (potential.can_generate_early_class_hook_events) {
    wanted.can_generate_early_class_hook_events = 1;
  } else {
    logOptionalMissing("can_generate_early_class_hook_events");
  }

  wanted.can_redefine_classes = 1;
  requireCapability(potential.can_redefine_classes, "can_redefine_classes");

  if (!potential.can_generate_exception_events) {
    agentFlags |= AGENT_NO_EXCEPTION_EVENTS;
    logOptionalMissing("can_generate_exception_events");
  } else if (options.exceptionTelemetryMode == 2) {
    agentFlags |= AGENT_NO_EXCEPTION_EVENTS | AGENT_EXCEPTIONS_OFF_BY_OPTION;
    logMessage("can_generate_exception_events: explicitly disabled with a startup option");
  } else {
    wanted.can_generate_exception_events = 1;
  }

  wanted.can_generate_vm_object_alloc_events = 1;
  requireCapability(potential.can_generate_vm_object_alloc_events, "can_generate_vm_object_alloc_events");

  if (!potential.can_access_local_variables) {
    logOptionalMissing("can_access_local_variables");
  } else if (ourIsIbm && !options.hasOption("_with_local_vars")) {
    logMessage("can_access_local_variables: disabled by default on IBM - specify startup option "
               "\"_with_local_vars\" to override");
  } else {
    wanted.can_access_local_variables = 1;
  }

  if (locationError != JVMTI_ERROR_NONE) {
    YString line("warning: GetJLocationFormat failed: ");
    line.appendLong(locationError);
    logMessage(line);
  }
  if (locationFormat == JVMTI_JLOCATION_JVMBCI) {
    if (potential.can_get_line_numbers) {
      wanted.can_get_line_numbers = 1;
    } else {
      logOptionalMissing("can_get_line_numbers");
    }
  } else {
    YString line("warning: GetJLocationFormat returned ");
    line.appendLong(locationFormat);
    logMessage(line);
  }

  if (potential.can_get_source_file_name) {
    wanted.can_get_source_file_name = 1;
  } else {
    logOptionalMissing("can_get_source_file_name");
  }

  if (potential.can_suspend && !options.withDebugger) {
    wanted.can_suspend = 1;
  } else {
    agentFlags |= AGENT_NO_SUSPEND;
    logMessage(potential.can_suspend ? "can_suspend: capability cannot be used under debugger"
                                     : "can_suspend: optional capability is not available");
  }

  if ((agentFlags.load() & AGENT_HEAP_SAMPLING) != 0) {
    wanted.can_generate_sampled_object_alloc_events = 1;
    logMessage("heap_sampling: will be used instead of BCI");
  }

  wanted.can_generate_monitor_events = 1;
  requireCapability(potential.can_generate_monitor_events, "can_generate_monitor_events");
  wanted.can_get_monitor_info = 1;
  requireCapability(potential.can_get_monitor_info, "can_get_monitor_info");
  wanted.can_set_native_method_prefix = 1;
  requireCapability(potential.can_set_native_method_prefix, "can_set_native_method_prefix");
  wanted.can_retransform_classes = 1;
  requireCapability(potential.can_retransform_classes, "can_retransform_classes");

  if ((agentFlags.load() & AGENT_ATTACH_MODE) != 0) {
    wanted.can_get_thread_cpu_time = 1;
    requireCapability(potential.can_get_thread_cpu_time, "can_get_thread_cpu_time");
  }
  return wanted;
}
