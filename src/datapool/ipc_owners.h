// Owners of System V handles: an attachment of a shared segment, a hold of a semaphore, and
// (for the process that made them) a segment or a semaphore set to be removed.
#pragma once

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cstdint>

// One shmat attachment, detached (shmdt) when the owner goes; moves, never copies.
class ShmAttachment {
  public:
    ShmAttachment() = default;
    explicit ShmAttachment(void* address) : address_(address) {}
    ~ShmAttachment() { reset(); }
    ShmAttachment(ShmAttachment&& other) noexcept : address_(other.release()) {}
    ShmAttachment& operator=(ShmAttachment&& other) noexcept {
        if (this != &other) {
            reset();
            address_ = other.release();
        }
        return *this;
    }
    ShmAttachment(const ShmAttachment&) = delete;
    ShmAttachment& operator=(const ShmAttachment&) = delete;

    uint8_t* get() const { return static_cast<uint8_t*>(address_); }
    bool valid() const { return address_ != nullptr; }
    void* release() {
        void* address = address_;
        address_ = nullptr;
        return address;
    }
    void reset() {
        if (address_ != nullptr) shmdt(address_);
        address_ = nullptr;
    }

  private:
    void* address_ = nullptr;
};

// Removes a System V object of the creating process (IPC_RMID) when the owner goes, unless
// released. Kind picks shmctl or semctl.
template <bool kSemaphore>
class IpcObject {
  public:
    explicit IpcObject(int id = -1) : id_(id) {}
    ~IpcObject() { reset(); }
    IpcObject(IpcObject&& other) noexcept : id_(other.release()) {}
    IpcObject& operator=(IpcObject&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = other.release();
        }
        return *this;
    }
    IpcObject(const IpcObject&) = delete;
    IpcObject& operator=(const IpcObject&) = delete;

    int get() const { return id_; }
    int release() {
        int id = id_;
        id_ = -1;
        return id;
    }
    void reset() {
        if (id_ >= 0) {
            if (kSemaphore) {
                semctl(id_, 0, IPC_RMID);
            } else {
                shmctl(id_, IPC_RMID, nullptr);
            }
        }
        id_ = -1;
    }

  private:
    int id_;
};
using ShmSegment = IpcObject<false>;
using SemaphoreSet = IpcObject<true>;
