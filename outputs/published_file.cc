#include "outputs/published_file.h"

#include <cerrno>
#include <cstring>

#include "logs/messages.h"
#include "logs/names.h"

PublishedFile::~PublishedFile() { discard(); }

bool PublishedFile::open(const std::string& path, std::string* err) {
  if (path.empty() || path == "-") {
    name_ = "standard output";
    return open_standard_output(&file_, err);
  }
  name_ = shown(path);
  std::string resolved;
  switch (output_target(path, &resolved)) {
    case OutputTarget::kDirectory:
      *err = strerror(EISDIR);
      return false;
    case OutputTarget::kDevice:
      if (!open_device(resolved, &file_, err)) return false;
      break;
    case OutputTarget::kFile:
    case OutputTarget::kNothing: {
      std::string dir_path;
      split_path(resolved, &dir_path, &file_name_);
      // Made with its parents, as -o of the CSV files is.
      dir_ = Dir::make(dir_path, err);
      if (dir_ == nullptr) return false;
      dir_->claim_for_writing();
      replaces_ = dir_->owner(file_name_, &owner_);
      new_permissions_ = new_file_permissions();
      if (!dir_->create_temp(Content::kBinary, nullptr, &file_, &temp_, err))
        return false;
      break;
    }
  }
  compressor_ = compressor_for(path, file_, err);
  return compressor_ != nullptr || err->empty();
}

bool PublishedFile::open_in(std::shared_ptr<Dir> dir, const std::string& name,
                            std::string* err) {
  name_ = shown(dir->path_of(name));
  // A directory there is refused before anything is written.
  std::string not_a_dir;
  if (dir->open_child(name, &not_a_dir) != nullptr) {
    *err = strerror(EISDIR);
    return false;
  }
  dir_ = std::move(dir);
  file_name_ = name;
  replaces_ = dir_->owner(file_name_, &owner_);
  new_permissions_ = new_file_permissions();
  if (!dir_->create_temp(Content::kBinary, nullptr, &file_, &temp_, err)) {
    dir_.reset();
    return false;
  }
  compressor_ = compressor_for(name, file_, err);
  return compressor_ != nullptr || err->empty();
}

bool PublishedFile::write(const char* data, size_t size) {
  if (compressor_ != nullptr) {
    if (compressor_->write(data, size)) return true;
    error_ = compressor_->error();
    return false;
  }
  if (file_.write(data, size)) return true;
  error_ = file_.error();
  return false;
}

bool PublishedFile::copy_from(File& from, uint64_t offset, uint64_t size) {
  if (compressor_ != nullptr) {
    if (OutputStream::copy_from(from, offset, size)) return true;
    if (error_.empty()) error_ = from.error();
    return false;
  }
  if (file_.copy_from(from, offset, size)) return true;
  error_ = file_.error();
  return false;
}

bool PublishedFile::close(unsigned log_permissions, std::string* err) {
  if (!finish(log_permissions, err)) return false;
  return dir_ == nullptr || publish(err);
}

bool PublishedFile::publish(std::string* err) {
  bool ok = dir_->publish(&file_, temp_, file_name_, Replace::kYes, err);
  dir_.reset();
  return ok;
}

bool PublishedFile::finish(unsigned log_permissions, std::string* err) {
  if (compressor_ != nullptr && !compressor_->finish()) {
    *err = compressor_->error();
    discard();
    return false;
  }
  compressor_.reset();
  if (dir_ == nullptr) {
    if (file_.close()) return true;
    *err = file_.error();
    return false;
  }
  FileOwner owner = owner_;
  if (!replaces_) {
    owner = FileOwner();
    owner.mode = (new_permissions_ & log_permissions) | 0600;
  }
  if (!file_.set_owner(owner)) {
    *err = file_.error();
    discard();
    return false;
  }
  if (file_.close()) return true;
  *err = file_.error();
  discard();
  return false;
}

std::string HeldFiles::temp_of(const std::string& name) const {
  for (const auto& file : files_)
    if (file->name() == name) return file->temp_name();
  return std::string();
}

bool HeldFiles::publish_all(std::string* err) {
  for (auto& file : files_) {
    if (!file->publish(err)) {
      *err = file->name() + ": " + *err;
      return false;
    }
  }
  files_.clear();
  return true;
}

void PublishedFile::discard() {
  compressor_.reset();
  if (dir_ != nullptr) dir_->discard(&file_, temp_);
  dir_.reset();
  file_.close();
}
