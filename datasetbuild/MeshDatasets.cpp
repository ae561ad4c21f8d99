#include "datasetbuild/MeshDatasets.h"

#include "datasetbuild/Builder.h"
#include "meshimport/Mesh.h"
#include "meshimport/MeshReaders.h"
#include "PkDiag.h"
#include "meshimport/Progress.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// Changes whenever the builder's output for the same mesh changes, so that old datasets are not
// taken for new ones.
constexpr const char* kBuilderVersion = "vxbuild 2";

// Parses "NAME", "NAME (magnitude)" or "NAME [K]" into the builder's field choice.
vxb::FieldChoice choiceOf(const QString& text) {
  vxb::FieldChoice choice;
  QString name = text;
  if (name.endsWith(QLatin1String(" (magnitude)"))) {
    choice.magnitude = true;
    name.chop(12);
  } else if (name.endsWith(QLatin1Char(']')) && name.contains(QLatin1String(" ["))) {
    const qsizetype at = name.lastIndexOf(QLatin1String(" ["));
    bool ok = false;
    const int k = name.mid(at + 2, name.size() - at - 3).toInt(&ok);
    if (ok && k >= 0) {
      choice.component = k;
      name = name.left(at);
    }
  }
  choice.name = name.toStdString();
  return choice;
}

} // namespace

QString datasetCacheFolder() {
  QString base = qEnvironmentVariable("XDG_CACHE_HOME");
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.cache");
  const QString folder = base + QStringLiteral("/vorex");
  return QDir().mkpath(folder) ? folder : QString();
}

bool isMeshPath(const QString& path) { return !path.endsWith(QLatin1String(".vx"), Qt::CaseInsensitive); }

namespace {
const char* const kMeshEndings[] = {"vtu", "vtk", "pvtu", "pvd", "msh", "node", "exo", "e", "g", "ex2", "foam", "cgns",
                                    "case", "cas"};
} // namespace

bool looksLikeMesh(const QString& path) {
  const QFileInfo info(path);
  if (info.fileName() == QLatin1String("controlDict")) return true;
  for (const char* ending : kMeshEndings)
    if (info.suffix().compare(QLatin1String(ending), Qt::CaseInsensitive) == 0) return true;
  return false;
}

QStringList openDialogFilters() {
  return {QStringLiteral("Vorex Isosurface (*.vx)"),
          QStringLiteral("Meshes (*.vtu *.vtk *.pvtu *.pvd *.msh *.node *.exo *.e *.g *.ex2 *.foam controlDict "
                         "*.cgns *.case *.cas)"),
          QStringLiteral("All files (*)")};
}

MeshToDataset::MeshToDataset(const QString& meshPath) : meshPath_(meshPath) {}

MeshToDataset::~MeshToDataset() = default;

bool MeshToDataset::read() {
  if (progress) progress(QStringLiteral("reading %1").arg(QFileInfo(meshPath_).fileName()), 0.0);
  pk::FirstErrorWatch errors;
  auto mesh = std::make_unique<vxb::TetMesh>();
  if (!vxb::readMesh(meshPath_.toLocal8Bit().toStdString(), *mesh)) {
    error = errors.firstError().empty() ? QStringLiteral("%1 cannot be read").arg(meshPath_)
                                        : QString::fromLocal8Bit(errors.firstError().c_str());
    return false;
  }
  if (mesh->fields.empty()) {
    error = QStringLiteral("%1 has no point field to show").arg(QFileInfo(meshPath_).fileName());
    pk::error(error.toLocal8Bit().toStdString());
    return false;
  }
  mesh_ = std::move(mesh);
  return true;
}

QStringList MeshToDataset::fieldChoices() const {
  QStringList choices;
  if (!mesh_) return choices;
  for (const vxb::MeshField& f : mesh_->fields) {
    const QString name = QString::fromStdString(f.name);
    if (f.components == 1) {
      choices << name;
      continue;
    }
    choices << name + QStringLiteral(" (magnitude)");
    for (int k = 0; k < f.components; ++k) choices << QStringLiteral("%1 [%2]").arg(name).arg(k);
  }
  return choices;
}

bool MeshToDataset::hashContent() {
  if (progress) progress(QStringLiteral("checking %1").arg(QFileInfo(meshPath_).fileName()), 0.0);
  QFile file(meshPath_);
  QCryptographicHash hash(QCryptographicHash::Sha1);
  if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
    error = QStringLiteral("cannot read file %1").arg(meshPath_);
    pk::error(error.toLocal8Bit().toStdString());
    return false;
  }
  // The files that belong with it by name (.node and .ele, .cas and .dat, the pieces of a .pvtu)
  // by their size and time.
  const QFileInfo info(meshPath_);
  const QStringList together = {info.completeBaseName() + QStringLiteral(".*"), info.completeBaseName() + QStringLiteral("_*")};
  for (const QFileInfo& beside : info.absoluteDir().entryInfoList(together, QDir::Files, QDir::Name))
    hash.addData(QStringLiteral("%1 %2 %3\n").arg(beside.fileName()).arg(beside.size())
                     .arg(beside.lastModified().toMSecsSinceEpoch()).toUtf8());
  hash.addData(QByteArray(kBuilderVersion));
  contentKey_ = QString::fromLatin1(hash.result().toHex().left(16));
  return true;
}

QStringList MeshToDataset::cachedDatasets() const {
  const QString folder = datasetCacheFolder();
  if (folder.isEmpty() || contentKey_.isEmpty()) return {};
  const QString prefix = QStringLiteral("%1-%2-").arg(QFileInfo(meshPath_).completeBaseName(), contentKey_);
  QStringList found;
  for (const QString& name : QDir(folder).entryList({prefix + QStringLiteral("*.vx")}, QDir::Files, QDir::Name)) {
    const QString path = folder + QLatin1Char('/') + name;
    if (QFile::exists(path + QStringLiteral(".cache"))) found << path;
  }
  return found;
}

QString MeshToDataset::datasetPath(const QString& choice) const {
  const QString folder = datasetCacheFolder();
  if (folder.isEmpty() || contentKey_.isEmpty()) return QString();
  const QByteArray choiceKey = QCryptographicHash::hash(choice.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
  return QStringLiteral("%1/%2-%3-%4.vx")
      .arg(folder, QFileInfo(meshPath_).completeBaseName(), contentKey_, QString::fromLatin1(choiceKey));
}

bool MeshToDataset::build(const QString& choice) {
  if (!mesh_) return false;
  const QString output = datasetPath(choice);
  if (output.isEmpty()) {
    error = QStringLiteral("no cache folder for the dataset of %1").arg(meshPath_);
    pk::error(error.toLocal8Bit().toStdString());
    return false;
  }
  vxb::BuildOptions options;
  options.input = meshPath_.toLocal8Bit().toStdString();
  options.output = output.toLocal8Bit().toStdString();
  options.field = choiceOf(choice);
  options.quiet = true;
  vxb::Progress steps(true);
  steps.listener = [this](const std::string& step, double fraction) {
    if (progress) progress(QString::fromStdString(step), fraction);
    return !cancel.load();
  };
  pk::FirstErrorWatch errors;
  vxb::BuildResult result;
  const bool built = vxb::buildDataset(*mesh_, options, result, steps);
  if (!built) {
    error = QString::fromLocal8Bit(errors.firstError().c_str());
    if (error.isEmpty()) {
      error = QStringLiteral("no dataset could be built from %1").arg(meshPath_);
      pk::error(error.toLocal8Bit().toStdString());
    }
  }
  return built;
}
