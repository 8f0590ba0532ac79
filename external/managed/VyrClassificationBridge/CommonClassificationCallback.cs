using System;

namespace vyr.bridge.classification;

/// <summary>
/// The native user interface's callback during a classification run, around the caller's
/// vyr::classification::ClassificationUiCallbackInterface. Valid while the run that made it lasts.
/// </summary>
public sealed unsafe class CommonClassificationCallback : NativeProxy
{
    /// <summary>Wraps the native callback (a ClassificationUiCallbackInterface*), not owned.</summary>
    public CommonClassificationCallback(IntPtr nativeCallback) : base(nativeCallback, nameof(nativeCallback), null)
    {
    }

    internal CommonClassificationCallback(IntPtr nativeCallback, RunScope scope)
        : base(nativeCallback, nameof(nativeCallback), scope)
    {
    }

    /// <summary><paramref name="iDone"/> of <paramref name="iTotal"/> steps are finished.</summary>
    public void vProgress(int iDone, int iTotal)
    {
        Face.Check(Face.Table->CallbackProgress(Native, iDone, iTotal), nameof(CommonClassificationCallback));
    }

    /// <summary>A line of text for the person watching the run.</summary>
    public void vMessage(string sMessage)
    {
        byte* buffer = stackalloc byte[Text.StackBytes];
        using var message = new Utf8Arg(sMessage, nameof(sMessage), buffer);
        Face.Check(Face.Table->CallbackMessage(Native, message.Text), nameof(CommonClassificationCallback));
    }
}
