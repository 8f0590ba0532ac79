// The module that bench/managed_bench.cpp runs. definitionToUpdate picks what
// a run does:
//
//   "nothing"  returns at once: the cost of a warm entry point call;
//   "lookup"   calls sClassifiedIdGet(mapping, filter) outputLevel times;
//   "set"      calls pClassifiedIdsGet(mapping, filter) outputLevel times;
//   any other  the sample module's work (examples/module/SampleModule.cs),
//              with that id as the classification to update: keep the pairs
//              of MAPPING read up to iLevel whose classified id FILTER maps
//              to "allow", and write them into the id at outputLevel.
//
// The sample's work is the sample's code without its messages and progress
// (the sample makes none without a callback), with two stopwatch spans
// around its in-memory part: from the start of the run to the relation read
// (the existence checks and the copy of cachesGet), and from the lock taken
// to just before the write-back (the output level's listed sources, the
// filter lookups and the edits). Their seconds go to the callback as
// "memory <read> <edits>" after the run's work; what the spans leave
// out is the creation of the output classification, the write access and
// its lock, and the write-back.

using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Linq;
using vyr.bridge;
using vyr.bridge.classification;
using vyr.bridge.definition;
using ClassificationAdmin = vyr.bridge.classification.Admin;
using DefinitionAdmin = vyr.bridge.definition.Admin;

namespace CommonClassification.Modules;

/// <summary>The benchmark module; one thread at a time.</summary>
public sealed class CommonClassificationModule
{
    private const string Allowed = "allow";

    private ClassificationAdmin? store;

    /// <summary>Binds the store for the run that follows.</summary>
    public void vInit(IDirectories directories, ClassificationAdmin classificationAdmin, DefinitionAdmin definitionAdmin)
    {
        store = classificationAdmin;
    }

    /// <summary>Runs the mode that definitionToUpdate names.</summary>
    public void vClassify(string mappingName, string filterMappingName, int iLevel, int outputLevel,
        string definitionToUpdate, CommonClassificationCallback? callback)
    {
        switch (definitionToUpdate)
        {
            case "nothing":
                return;
            case "lookup":
            {
                ClassificationAdmin admin = Bound;
                for (int index = 0; index < outputLevel; ++index)
                {
                    if (admin.sClassifiedIdGet(mappingName, filterMappingName).Length == 0)
                    {
                        throw new InvalidOperationException($"'{filterMappingName}' has no classified id");
                    }
                }
                return;
            }
            case "set":
            {
                ClassificationAdmin admin = Bound;
                for (int index = 0; index < outputLevel; ++index)
                {
                    if (admin.pClassifiedIdsGet(mappingName, filterMappingName) == null)
                    {
                        throw new InvalidOperationException($"'{filterMappingName}' has no classified ids");
                    }
                }
                return;
            }
            default:
            {
                (double read, double edits) = SampleWork(mappingName, filterMappingName, iLevel, outputLevel,
                    definitionToUpdate);
                callback?.vMessage(string.Create(CultureInfo.InvariantCulture, $"memory {read:R} {edits:R}"));
                return;
            }
        }
    }

    /// <summary>Not measured.</summary>
    public void vClassifyNodes(string mappingName, Node node)
    {
    }

    private ClassificationAdmin Bound =>
        store ?? throw new InvalidOperationException("the module ran before vInit bound the store");

    // The sample's run; returns the seconds of its two in-memory spans.
    private (double Read, double Edits) SampleWork(string mappingId, string filterId, int iLevel, int outputLevel, string updateId)
    {
        ClassificationAdmin admin = Bound;
        var read = Stopwatch.StartNew();
        foreach (string id in new[] { mappingId, filterId })
        {
            if (!HasLevels(admin, id))
            {
                throw new InvalidOperationException($"no classification '{id}' reads at any level");
            }
        }
        SortedDictionary<string, IReadOnlySet<string>> input = RelationUpToLevel(admin, mappingId, iLevel);
        read.Stop();

        var level = (Level)outputLevel;
        if (!HasLevels(admin, updateId))
        {
            admin.boCreateClassification(updateId, $"{mappingId} allowed by {filterId}", "", "", "", false, false, level);
        }
        var edits = new Stopwatch();
        using (WriteAccess access = admin.writeAccessGet(updateId))
        {
            access.boLockFile(level);
            edits.Start();
            var listed = new HashSet<string>(StringComparer.Ordinal);
            if (admin.cachesGet(updateId).TryGetValue(level, out var before))
            {
                listed.UnionWith(before.Where(entry => entry.Value.Count != 0).Select(entry => entry.Key));
            }
            foreach ((string source, IReadOnlySet<string> classified) in input)
            {
                bool first = true;
                foreach (string classifiedId in classified)
                {
                    if (!admin.boMappingExists(filterId, classifiedId, Allowed))
                    {
                        continue;
                    }
                    if (first)
                    {
                        access.boSetMapping(source, classifiedId, level);
                    }
                    else
                    {
                        access.boAddMapping(source, classifiedId, level);
                    }
                    first = false;
                }
                if (first && listed.Contains(source))
                {
                    access.vMappedToSourceRemove(source, level);
                }
            }
            edits.Stop();
            access.boWriteBack();
        }
        return (read.Elapsed.TotalSeconds, edits.Elapsed.TotalSeconds);
    }

    private static bool HasLevels(ClassificationAdmin admin, string id) =>
        admin.boClassificationExists(id) && admin.cachesGet(id).Count != 0;

    private static SortedDictionary<string, IReadOnlySet<string>> RelationUpToLevel(ClassificationAdmin admin,
        string id, int iLevel)
    {
        var relation = new SortedDictionary<string, IReadOnlySet<string>>(StringComparer.Ordinal);
        foreach ((Level level, IReadOnlyDictionary<string, IReadOnlySet<string>> pairs) in admin.cachesGet(id).OrderBy(entry => entry.Key))
        {
            if ((int)level > iLevel)
            {
                break;
            }
            foreach ((string source, IReadOnlySet<string> classified) in pairs)
            {
                relation[source] = classified;
            }
        }
        return relation;
    }
}
