#include "app/parallel_run.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/frame_chain.h"
#include "app/run_report.h"
#include "input/conversion_loop.h"
#include "output/naming.h"
#include "output/shared_outputs.h"
#include "platform/platform.h"
#include "support/shard.h"

namespace quillon {

namespace {

// What the handlers ask of the system (as one handler alone does).
constexpr int64_t kOpenFilesWanted = 8192;
// Descriptors outside the threads' shares: standard streams, the walk, and
// what the system and the run-time keep.
constexpr int64_t kOpenFilesReserved = 64;
// Per thread outside its writers: the log being read and the folders
// opened on the way to an output.
constexpr int64_t kOpenFilesPerThread = 4;
// The least share with which a thread still gets on: a few outputs open at
// once, so that closing them all is not done at every frame.
constexpr int64_t kLeastShare = 8;

// The logs of one logger folder and session, in walk order.
struct Task {
  std::vector<const PlannedLog*> logs;
  uint64_t bytes = 0;
  // Transport sessions still open after the task's last log.
  uint64_t unfinished = 0;
};

// Two loggers whose folder names differ only in case meet in one folder
// where names ignore case: one task keeps them in walk order.
std::string task_folder(const std::string& logger_id) {
  std::string name = logger_folder_name(logger_id);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// The tasks of the planned logs; last_task: the one holding the last log.
std::vector<Task> make_tasks(const std::vector<PlannedLog>& logs, size_t& last_task) {
  std::vector<Task> tasks;
  std::map<std::pair<std::string, uint32_t>, size_t> index;
  for (const PlannedLog& log : logs) {
    auto key = std::make_pair(task_folder(log.file.logger_id), log.file.session);
    auto [at, added] = index.emplace(std::move(key), tasks.size());
    if (added) tasks.emplace_back();
    Task& task = tasks[at->second];
    task.logs.push_back(&log);
    task.bytes += log.size;
    last_task = at->second;
  }
  return tasks;
}

// Task indices, largest first (in walk order among equals): the longest
// tasks start early, so that no thread is left with one at the end.
std::vector<size_t> largest_first(const std::vector<Task>& tasks) {
  std::vector<size_t> order(tasks.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return tasks[a].bytes > tasks[b].bytes; });
  return order;
}

// Takes tasks until none is left or an interrupt came.
void work(Worker& worker, std::vector<Task>& tasks, const std::vector<size_t>& order,
          std::atomic<size_t>& next) {
  while (platform::interrupt_signal() == 0) {
    const size_t taken = next.fetch_add(1);
    if (taken >= order.size()) break;
    Task& task = tasks[order[taken]];
    for (const PlannedLog* log : task.logs) {
      // As in the walk: an interrupt stops before the next file.
      if (platform::interrupt_signal() != 0) break;
      worker.status |= worker.loop->convert_planned(*log);
    }
    task.unfinished = worker.chain->manager->open_sessions();
  }
}

// Runs every worker on a thread of its own; one that cannot be started
// leaves its share to the others (the first runs here when none can).
void run_workers(std::vector<Worker>& workers, std::vector<Task>& tasks,
                 const std::vector<size_t>& order) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  threads.reserve(workers.size());
  for (Worker& worker : workers) {
    try {
      threads.emplace_back(work, std::ref(worker), std::ref(tasks), std::cref(order),
                           std::ref(next));
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads.empty()) work(workers.front(), tasks, order, next);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

unsigned thread_count(uint32_t jobs) {
  if (jobs != 0) return jobs;
  return static_cast<unsigned>(std::max(1, platform::available_cores()));
}

size_t open_files_per_thread(int64_t limit, unsigned& threads) {
  const int64_t shared = limit - kOpenFilesReserved;
  const int64_t most = shared / (kLeastShare + kOpenFilesPerThread);
  if (threads > 1 && most < static_cast<int64_t>(threads)) {
    threads = static_cast<unsigned>(std::max<int64_t>(1, most));
  }
  if (threads <= 1) threads = 1;
  return static_cast<size_t>(std::max<int64_t>(shared / threads - kOpenFilesPerThread, 0));
}

size_t open_files_bound(unsigned& threads) {
  return open_files_per_thread(platform::raise_open_file_limit(kOpenFilesWanted), threads);
}

namespace {

// The workers of the threads, each bounded to its share of the open-file
// limit, which may leave fewer threads; the first registers the transport
// messages, the others copy its registrations. False when memory is short.
bool make_workers(const ConverterState& state, const DecoderPart& decoder,
                  FrameHandlerOptions options, unsigned threads, ProgressListener* progress,
                  std::vector<Worker>& workers) {
  options.open_files = open_files_bound(threads);
  workers.resize(threads);
  for (Worker& worker : workers) {
    const FrameChain* first = &worker == &workers.front() ? nullptr : workers.front().chain.get();
    if (!make_worker(state, decoder, options, first, progress, worker)) return false;
  }
  return true;
}

}  // namespace

void recover_left_behind(const ConverterState& state, SharedOutputs& shared) {
  // Also where no log of this run goes (the logger's logs were all
  // converted and deleted before the kill).
  shared.recover_left_behind(
      *state.output_folder(), state.delete_converted != 0, [&state](const std::string& name) {
        constexpr std::string_view kSuffix = "_out";
        if (name.size() <= kSuffix.size() ||
            name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
          return false;
        }
        if (state.shard_count == 0) return true;
        const std::string_view logger(name.data(), name.size() - kSuffix.size());
        return shard_of_logger_folder(logger, state.shard_count) == state.shard_index;
      });
}

int run_parallel(const ConverterState& state, const DecoderPart& decoder,
                 const FrameHandlerOptions& options, unsigned threads, ProgressListener* progress,
                 RunCounters& counters, bool& started) {
  started = false;
  FrameSink no_sink;  // the walk converts nothing
  std::unique_ptr<ConversionLoop> walk = make_conversion_loop(state, &no_sink);
  if (!walk) return kResultOk;
  // The walk tells of the logs it does not keep (repeats, unread headers).
  std::unique_ptr<LogReport> walk_report;
  if (state.report != nullptr) {
    walk_report = state.report->make_log_report(nullptr);
    if (!walk_report) return kResultOk;
    walk->set_report(walk_report.get());
  }

  platform::catch_interrupts();
  const int64_t started_ms = platform::clock_ms();
  // Before the walk: finishing an interrupted run may delete logs it had
  // converted.
  SharedOutputs shared;
  recover_left_behind(state, shared);
  std::vector<PlannedLog> logs;
  bool stopped = false;
  int status = walk->plan(state.input_paths, logs, stopped);
  size_t last_task = 0;
  std::vector<Task> tasks = make_tasks(logs, last_task);
  const std::vector<size_t> order = largest_first(tasks);

  threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(tasks.size())));
  FrameHandlerOptions handler_options = options;
  handler_options.shared = &shared;
  std::vector<Worker> workers;
  if (!make_workers(state, decoder, handler_options, threads, progress, workers)) return kResultOk;
  started = true;

  // The totals are those of the logs the walk planned: the others are done
  // with already, and the files done must reach the files found.
  if (progress != nullptr) {
    uint64_t bytes = 0;
    for (const PlannedLog& log : logs) bytes += log.size;
    progress->run_started(logs.size(), bytes);
  }
  run_workers(workers, tasks, order);
  if (progress != nullptr) progress->run_finished();
  // An input path that could not be queried ends the run with 129 alone,
  // as the serial loop returns it.
  if (stopped) status = kResultInvalid;
  counters.reader_files = walk->files();
  counters.reader_bytes = walk->bytes();
  for (Worker& worker : workers) {
    if (!stopped) status |= worker.status;
    status |= finish_worker(worker, counters);
    counters.reader_frames += worker.loop->frames();
  }
  // The serial run ends with the sessions of the last log still open; a
  // thread's chain drops its sessions at the start of its next task.
  if (!tasks.empty()) counters.tp_unfinished = tasks[last_task].unfinished;
  counters.elapsed_ms = platform::clock_ms() - started_ms;
  return status;
}

}  // namespace quillon
