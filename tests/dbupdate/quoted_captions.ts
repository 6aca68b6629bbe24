<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>UpdateProfile</name>
    <message>
        <source>梯度1</source>
        <translation>Série d&apos;essai</translation>
    </message>
    <message>
        <source>梯度2</source>
        <translation>Gradient %2</translation>
    </message>
    <message>
        <source>梯度3</source>
        <translation>Gradient 3</translation>
    </message>
    <message>
        <source>梯度4</source>
        <translation>Gradient 4</translation>
    </message>
    <message>
        <source>样本类型</source>
        <translation>Type d&apos;échantillon</translation>
    </message>
    <message>
        <source>初始量[ul]</source>
        <translation>Volume d&apos;origine [ul]</translation>
    </message>
    <message>
        <source>报警限[ul]</source>
        <translation>Limite d&apos;alarme [ul]</translation>
    </message>
    <message>
        <source>中断限[ul]</source>
        <translation>Limite d&apos;arrêt [ul]</translation>
    </message>
    <message>
        <source>住院号</source>
        <translation>N° d&apos;hospitalisation</translation>
    </message>
    <message>
        <source>备注</source>
        <translation>Remarque&apos;); drop table profile; --</translation>
    </message>
</context>
</TS>
