#pragma once
// Records that make a killed job's temporary file recognisable as ours.
//
// Before a job creates "<source>_<n>.tmp" it writes a record naming that file into the
// folder "jobs" of the application-data folder, and it holds an exclusive lock on the
// record for as long as it runs. Once the file exists the record also carries its device
// and inode. A record whose lock anyone can take belongs to a job that died: its
// temporary file is removed (only when it is still the very file the job created) and the
// record with it. A file that merely looks like a temporary name is never touched.

#include <filesystem>
#include <string>

namespace moovwright {

class JobRecord {
public:
    // Creates and locks a new record in `folder` (created when missing). When that is not
    // possible the job runs without one; it only loses the clean-up after a crash.
    explicit JobRecord(const std::filesystem::path& folder);
    JobRecord(const JobRecord&) = delete;
    JobRecord& operator=(const JobRecord&) = delete;
    // Removes the record: the job ended and cleaned up after itself.
    ~JobRecord();

    // Says which temporary name the job is about to create.
    void Intend(const std::string& temp_path);
    // Says the temporary file now exists (identified by its device and inode).
    void Created(const std::string& temp_path, dev_t device, ino_t inode);

private:
    void Write(const std::string& text);
    std::filesystem::path path_;
    int fd_ = -1;
};

// The default record folder: "jobs" in the application-data folder.
std::filesystem::path DefaultJobRecordFolder();

// Removes the temporary files of dead jobs recorded in `folder` and their records.
// Returns how many temporary files were removed.
int RemoveLeftoversOfDeadJobs(const std::filesystem::path& folder);

}  // namespace moovwright
