// Simulation meshes opened in the viewer or benchmarked by vxbench: they are built into datasets
// (in the viewer on a worker thread) into a cache folder where a second open of the same mesh
// finds its dataset.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

namespace vxb {
struct TetMesh;
}

// $XDG_CACHE_HOME/vorex, else ~/.cache/vorex; made when missing. Empty when it cannot be made.
QString datasetCacheFolder();

// Whether the viewer takes path as a mesh to build (anything but a .vx dataset).
bool isMeshPath(const QString& path);

// Whether a file name is one of the meshes the builder reads, by its ending (or "controlDict").
bool looksLikeMesh(const QString& path);

// The filter of the open dialog: datasets first, then every kind of mesh the builder reads.
QStringList openDialogFilters();

// One mesh on its way to a dataset. read() and build() run on a worker thread; nothing here
// touches widgets. Both give up early once `cancel` is set and report through `progress`.
class MeshToDataset {
public:
  explicit MeshToDataset(const QString& meshPath);
  ~MeshToDataset();

  // Hashes the mesh file's bytes, the size and time of the files beside it (a case's other files)
  // and the builder's version into the key of its datasets. False with `error` set.
  bool hashContent();
  // Datasets of this mesh's content already in the cache folder, one per field choice made.
  QStringList cachedDatasets() const;
  // Reads the mesh. False with `error` set (the builder's first error line).
  bool read();
  // The choices of field after read(): a scalar field by its name, a vector field as its
  // magnitude ("NAME (magnitude)") and as each of its components ("NAME [K]").
  QStringList fieldChoices() const;
  // The dataset the mesh builds into with that choice: NAME-CONTENT-CHOICE.vx in the cache folder,
  // with the content key of hashContent() and a hash of the choice.
  QString datasetPath(const QString& choice) const;
  // Builds into datasetPath(choice). False with `error` set; no files are left then.
  bool build(const QString& choice);

  std::function<void(const QString& step, double fraction)> progress;
  std::atomic<bool> cancel{false};
  QString error;

private:
  QString meshPath_;
  QString contentKey_;
  std::unique_ptr<vxb::TetMesh> mesh_;
};
