// Vertex morph curves ("Create vertex morph curves"): instead of one morph
// target per frame, every frame's positions, normals, colours and texture
// coordinates are kept per vertex, and after the last frame each vertex gets
// one fitted curve per set. The sets become vertex annotation sets of the
// primary vertex data: set s holds one `curve2` per vertex, in vertex order
// (the variant array's element type is `curve2` itself, so readers, dumps and
// the basis conversion find curve v at index v with no special case).

#include <cstdio>
#include <cstring>
#include <new>

#include "export/ketrel_fit_jobs.h"
#include "export/ketrel_mesh_conversion_internal.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_track_group_builder.h"

namespace ketrel {
namespace {

// Pinned ends, start knots, creases and jumps; knot elimination on top with
// "Aggressive animation compression".
constexpr int32_t kCurveFlags = FitPinEnds | FitStartKnots | FitAllowCreases | FitAllowJumps;

// A vertex sitting at the origin for the whole animation needs no data.
const float kZero3[3] = {0.0f, 0.0f, 0.0f};

// Seconds between two of the `frames` frames spread over the animation
// range; one host frame when the range has no length (the frames are still
// distinct samples to the fitter).
float FrameStep(ToolInterface* tool, int32_t frames) {
  const double ticksPerSecond = double(tool->GetTicksPerFrame()) * double(tool->GetFrameRate());
  const double range = double(tool->GetAnimationEnd()) - double(tool->GetAnimationStart());
  if (frames >= 2 && ticksPerSecond > 0 && range > 0) {
    const float step = float(range / ticksPerSecond / double(frames - 1));
    if (step > 0.0f) return step;
  }
  const int32_t rate = tool->GetFrameRate();
  return rate > 0 ? 1.0f / float(rate) : 1.0f / 30.0f;
}

// The name of set `kind` (colour and texture channel `channel`).
const char* SetName(SceneParser* parser, MorphCurveKind kind, int32_t channel) {
  char name[96];
  const char* prefix = "VertexMorphCurve";
  switch (kind) {
    case kCurvePosition:
      std::snprintf(name, sizeof name, "%s%s", prefix, "Position");
      break;
    case kCurveNormal:
      std::snprintf(name, sizeof name, "%s%s", prefix, "Normal");
      break;
    case kCurveColor:
      if (channel < 2) {
        std::snprintf(name, sizeof name, "%s%s", prefix,
                      channel == 0 ? "DiffuseColor" : "SpecularColor");
      } else {
        std::snprintf(name, sizeof name, "%s%s%i", prefix, "Color", channel);
      }
      break;
    case kCurveTexCoord:
      std::snprintf(name, sizeof name, "%s%s%i", prefix, "TextureCoordinates", channel);
      break;
  }
  return InternString(parser, name);
}

CurveFitParameters SetParameters(const MeshOptions& o, const MorphCurveSet& set) {
  const CurveSetOptions& c = o.Curves[set.Kind];
  CurveFitParameters p;
  p.Degree = c.Degree;
  p.ReduceToConstant = 1;
  p.QuantizeOnMiss = o.QuantizeOnMiss ? 1 : 0;
  p.Tolerance = c.Tolerance;
  p.JumpThreshold = c.Jump;
  p.CreaseThreshold = c.Crease;
  int32_t full = 3;
  if (set.Kind == kCurvePosition) {
    p.CandidateFormats = PositionCurveFormats;
    full = 6;
  } else if (set.Kind == kCurveNormal) {
    p.CandidateFormats = MorphNormalCurveFormats;
  } else {
    p.CandidateFormats = Vector4CurveFormats;
  }
  // The first candidate is always plain floats.
  p.CandidateFormatCount = o.QuantizedCurves ? full : 1;
  p.ConstantFormat = set.Dimension == 3 ? D3Constant32fType : D4Constant32fType;
  if (set.Kind == kCurvePosition) {
    p.IdentityFormat = DaIdentityType;
    p.IdentityValue = kZero3;
  }
  return p;
}

// The copy of a fitted curve in the arena: the record into `out`, its data
// at `data` (8-aligned). With null `data`, only the size is returned.
int32_t CopyCurve(const curve2* source, curve2* out, void* data) {
  curve_builder copy;
  BeginCurveCopyInPlace(&copy, source);
  const int32_t size = GetResultingCurveDataSize(&copy);
  if (!data) return size;
  curve2 written{};
  if (size <= 0 || !EndCurveInPlace(&copy, &written, data)) return -1;
  std::memcpy(static_cast<void*>(out), &written, sizeof written);
  return size;
}

size_t Align8(size_t size) { return (size + 7) & ~size_t(7); }

// Moves the jobs' curves into the set in the arena: identity curves share
// the one read-only record of their dimension, every other curve is copied
// into one block of the arena. False when a fit failed or memory ran out.
bool StoreSet(SceneParser* parser, const MeshConversion* r, const MorphCurveSet& set,
              const FitJob* jobs, vertex_annotation_set* out) {
  const int32_t vertices = r->CurveVertexCount;
  size_t total = 0;
  bool missed = false;
  for (int32_t v = 0; v < vertices; ++v) {
    if (!jobs[v].Curve) return false;
    missed = missed || !jobs[v].Achieved;
    if (!CurveIsIdentity(jobs[v].Curve)) {
      const int32_t size = CopyCurve(jobs[v].Curve, nullptr, nullptr);
      if (size <= 0) return false;
      total += Align8(size_t(size));
    }
  }
  auto* curves =
      vertices > 0
          ? static_cast<curve2*>(KT_PARSER_ALLOCATE(parser, sizeof(curve2) * size_t(vertices)))
          : nullptr;
  auto* data = total > 0 ? static_cast<uint8_t*>(KT_PARSER_ALLOCATE(parser, total)) : nullptr;
  if ((vertices > 0 && !curves) || (total > 0 && !data)) return false;
  for (int32_t v = 0; v < vertices; ++v) {
    if (CurveIsIdentity(jobs[v].Curve)) {
      const curve2 identity = GetSharedIdentityCurve(set.Dimension);
      std::memcpy(static_cast<void*>(&curves[v]), &identity, sizeof identity);
      continue;
    }
    const int32_t size = CopyCurve(jobs[v].Curve, &curves[v], data);
    if (size <= 0) return false;
    data += Align8(size_t(size));
  }
  if (missed) {
    KT_LOG_WARNING_CODE(Export, warning::VertexCurveToleranceMissed, r->Name,
                        "Warning: Some animated vert parameters didn't achieve the\r\nspecified "
                        "tolerance.  (Mesh: %s)\r\n",
                        r->Name);
  }
  out->Name = set.Name;
  out->VertexAnnotations.Type = Curve2Type;
  out->VertexAnnotations.Count = vertices;
  out->VertexAnnotations.Items = curves;
  // One curve per vertex: annotation v belongs to vertex v, no index map.
  out->IndicesMapFromVertexToAnnotation = 0;
  out->VertexAnnotationIndexCount = 0;
  out->VertexAnnotationIndices = nullptr;
  return true;
}

}  // namespace

bool BeginMorphCurves(SceneParser* parser, MeshConversion* r) {
  const int32_t count = 2 + r->ColorChannels + r->TexChannels;
  const int32_t frames = r->MorphCount;
  r->CurveVertexCount = GetVertexCount(r->Builder);
  r->CurveTimeStep = FrameStep(parser->tool, frames);
  r->CurveSets = KT_ALLOCATE_ARRAY(MorphCurveSet, size_t(count));
  if (!r->CurveSets) return false;
  for (int32_t s = 0; s < count; ++s) new (&r->CurveSets[s]) MorphCurveSet;
  r->CurveSetCount = count;
  for (int32_t s = 0; s < count; ++s) {
    MorphCurveSet& set = r->CurveSets[s];
    VertexPart part = VertexPart::Position;
    if (s == 0) {
      set.Kind = kCurvePosition;
    } else if (s == 1) {
      set.Kind = kCurveNormal;
      part = VertexPart::Normal;
    } else if (s < 2 + r->ColorChannels) {
      set.Kind = kCurveColor;
      set.Channel = s - 2;
      part = VertexPart::Color;
    } else {
      set.Kind = kCurveTexCoord;
      set.Channel = s - 2 - r->ColorChannels;
      part = VertexPart::TexCoord;
    }
    set.Dimension = set.Kind == kCurvePosition || set.Kind == kCurveNormal ? 3 : 4;
    const VertexMember* member = FindVertexMember(r->MorphLayout, part, set.Channel);
    if (!member) {
      KT_LOG_ERROR(Export, "Mesh %s: the morph vertex type lacks a member for curve set %d",
                   r->Name, s);
      return false;
    }
    set.Member = int32_t(member - r->MorphLayout.Members);
    set.Name = SetName(parser, set.Kind, set.Channel);
    const size_t floats = size_t(r->CurveVertexCount) * size_t(frames) * size_t(set.Dimension);
    set.Samples = floats > 0 ? KT_ALLOCATE_ARRAY(float, floats) : nullptr;
    if (!set.Name || (floats > 0 && !set.Samples)) return false;
  }
  return true;
}

bool SampleMorphCurveFrame(MeshConversion* r, MeshAccess* access, int32_t frame, bool usable,
                           bool relative) {
  if (!r->CurveSets || frame < 0 || frame >= r->MorphCount) return true;
  const int32_t frames = r->MorphCount;
  const int32_t members = r->MorphLayout.MemberCount > 0 ? r->MorphLayout.MemberCount : 1;
  auto* values = KT_ALLOCATE_ARRAY(MorphMemberValues, size_t(members));
  if (!values) return false;
  for (int32_t v = 0; v < r->CurveVertexCount; ++v) {
    SampleMorphVertex(r, access, v, usable, relative, values);
    for (int32_t s = 0; s < r->CurveSetCount; ++s) {
      const MorphCurveSet& set = r->CurveSets[s];
      float* at =
          set.Samples + (size_t(v) * size_t(frames) + size_t(frame)) * size_t(set.Dimension);
      std::memcpy(at, values[set.Member], sizeof(float) * size_t(set.Dimension));
    }
  }
  FreeBlock(values);
  return true;
}

bool FitMorphCurves(SceneParser* parser, MeshConversion* r) {
  if (!r->CurveSets) return true;
  const int32_t vertices = r->CurveVertexCount;
  const int32_t frames = r->MorphCount;
  auto* sets = static_cast<vertex_annotation_set*>(
      KT_PARSER_ALLOCATE(parser, sizeof(vertex_annotation_set) * size_t(r->CurveSetCount)));
  FitJob* jobs = vertices > 0 ? KT_ALLOCATE_ARRAY(FitJob, size_t(vertices)) : nullptr;
  bool ok = sets && (vertices == 0 || jobs);
  // Each set's curves are fitted on the worker threads, then copied into the
  // arena before the next set, so at most one set's curves are on the heap.
  const int32_t workers = FitWorkerCount(parser->fitWorkers);
  if (ok) {
    AddProgressWork(parser->progress,
                    (long long)r->CurveSetCount * vertices * frames * kFitWorkPerSample);
  }
  for (int32_t s = 0; s < r->CurveSetCount && ok; ++s) {
    const MorphCurveSet& set = r->CurveSets[s];
    const CurveFitParameters parameters = SetParameters(r->Options, set);
    for (int32_t v = 0; v < vertices; ++v) {
      FitJob* job = new (&jobs[v]) FitJob;
      job->Samples = set.Samples + size_t(v) * size_t(frames) * size_t(set.Dimension);
      job->Dimension = set.Dimension;
      job->SampleCount = frames;
      job->TimeStep = r->CurveTimeStep;
      job->Compress = true;
      job->Flags = kCurveFlags | (r->Options.AggressiveCurves ? FitEliminateKnots : 0);
      job->Parameters = parameters;
    }
    ok = RunFitJobs(jobs, vertices, workers, parser->progress) &&
         StoreSet(parser, r, set, jobs, &sets[s]);
    FreeFitJobCurves(jobs, vertices);
  }
  FreeBlock(jobs);
  FreeMorphCurveSamples(r);
  if (!ok) {
    KT_LOG_ERROR(Export, "Out of memory while fitting the vertex morph curves of mesh %s", r->Name);
    return false;
  }
  r->FittedCurves = sets;
  return true;
}

void FreeMorphCurveSamples(MeshConversion* r) {
  if (!r->CurveSets) return;
  for (int32_t s = 0; s < r->CurveSetCount; ++s) FreeBlock(r->CurveSets[s].Samples);
  FreeBlock(r->CurveSets);
  r->CurveSets = nullptr;
}

}  // namespace ketrel
