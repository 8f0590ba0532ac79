// A classification module for the tests: each construction and call, with its
// arguments, is appended as one line to the file that VYR_RECORDING_LOG names,
// strings as their UTF-16 code units in hex. What it does besides is planned
// in the file "<log>.plan", one NAME=value a line, which the tests write
// before each call (the runtime reads the environment once, when it starts):
//   VYR_RECORDING_THROW=<operation>  that operation (construct, vInit,
//                                    vClassify, vClassifyNodes) throws
//                                    InvalidOperationException("<operation> failed");
//                                    <operation>:range throws
//                                    ArgumentOutOfRangeException instead
//   VYR_RECORDING_CALLBACK=1         vClassify reports progress and a message
//                                    through the callback, letting through
//                                    what the host's callback throws
//   VYR_RECORDING_WRAP=1             ... and wraps it instead, as the inner
//                                    exception of an InvalidOperationException
//   VYR_RECORDING_LEAVE=<id>         vClassify leaves a write access of the
//                                    id open, with the pair left -> open added
//                                    at the user level
//   VYR_RECORDING_KEEP=1             vInit keeps the store proxy, and the next
//                                    vInit records whether the kept one still
//                                    answers
using System;
using System.IO;
using System.Linq;
using vyr.bridge;
using vyr.bridge.classification;

namespace CommonClassification.Modules;

public class CommonClassificationModule
{
    private static Admin? kept;
    private Admin? store;

    public CommonClassificationModule()
    {
        Record("construct");
        Fail("construct");
    }

    public void vInit(IDirectories directories, Admin classificationAdmin, vyr.bridge.definition.Admin definitionAdmin)
    {
        if (kept != null)
        {
            try
            {
                kept.boClassificationExists("materials");
                Record("kept answers");
            }
            catch (ObjectDisposedException)
            {
                Record("kept is closed");
            }
        }
        store = classificationAdmin;
        if (Plan("VYR_RECORDING_KEEP") == "1")
        {
            kept = classificationAdmin;
        }
        Record($"vInit {Hex(directories.userDirectoryGet())} {Hex(definitionAdmin.sNameGet())}");
        Fail("vInit");
    }

    public void vClassify(string mappingName, string filterMappingName, int iLevel, int outputLevel,
        string definitionToUpdate, CommonClassificationCallback? callback)
    {
        Record($"vClassify {Hex(mappingName)} {Hex(filterMappingName)} {iLevel} {outputLevel} {Hex(definitionToUpdate)} " +
            (callback == null ? "no-callback" : "callback"));
        Fail("vClassify");
        if (callback != null && Plan("VYR_RECORDING_CALLBACK") == "1")
        {
            try
            {
                callback.vProgress(1, 2);
                callback.vMessage("half done");
            }
            catch (NativeException error) when (Plan("VYR_RECORDING_WRAP") == "1")
            {
                throw new InvalidOperationException("the callback failed", error);
            }
        }
        if (Plan("VYR_RECORDING_LEAVE") is { Length: > 0 } id)
        {
            WriteAccess access = store!.writeAccessGet(id);
            access.boLockFile(Level.User);
            access.boAddMapping("left", "open", Level.User);
        }
    }

    public void vClassifyNodes(string mappingName, vyr.bridge.definition.Node node)
    {
        Record($"vClassifyNodes {Hex(mappingName)} {Hex(node.sNameGet())} {node.childrenGet().Count} {node.boHasChildren()}");
        Fail("vClassifyNodes");
    }

    private static string Hex(string text) =>
        text.Length == 0 ? "-" : string.Join(",", text.Select(unit => ((int)unit).ToString("x4")));

    // The planned value of the name, or null.
    private static string? Plan(string name)
    {
        string? log = Environment.GetEnvironmentVariable("VYR_RECORDING_LOG");
        if (string.IsNullOrEmpty(log) || !File.Exists(log + ".plan"))
        {
            return null;
        }
        string prefix = name + "=";
        return File.ReadLines(log + ".plan").Where(line => line.StartsWith(prefix, StringComparison.Ordinal))
            .Select(line => line.Substring(prefix.Length)).LastOrDefault();
    }

    // Modules of runs on several threads share the log: one line at a time.
    private static readonly object logLock = new();

    private static void Record(string line)
    {
        if (Environment.GetEnvironmentVariable("VYR_RECORDING_LOG") is { Length: > 0 } log)
        {
            lock (logLock)
            {
                File.AppendAllText(log, line + "\n");
            }
        }
    }

    private static void Fail(string operation)
    {
        string? planned = Plan("VYR_RECORDING_THROW");
        if (planned == operation)
        {
            throw new InvalidOperationException(operation + " failed");
        }
        if (planned == operation + ":range")
        {
            throw new ArgumentOutOfRangeException(nameof(operation), operation + " out of range");
        }
    }
}
