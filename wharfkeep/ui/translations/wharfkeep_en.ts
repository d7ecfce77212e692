<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>HostQuestion</name>
    <message>
        <source>是否继续上次未完成的发布任务？</source>
        <translation>Continue the publishing left unfinished last time?</translation>
    </message>
    <message>
        <source>当前IP地址(%s)有误，无法正常提供服务，您需要修改IP地址吗？</source>
        <translation>The current IP address (%s) is wrong and the service cannot work. Do you want to change the IP address?</translation>
    </message>
    <message>
        <source>传输端口（%u）有冲突，请手动修改端口，以便工具正常服务。</source>
        <translation>The peer port (%u) is in use. Please change the port so that the service can work.</translation>
    </message>
    <message>
        <source>协议端口（%u）有冲突，请手动修改端口，以便工具正常服务。</source>
        <translation>The list port (%u) is in use. Please change the port so that the service can work.</translation>
    </message>
</context>
<context>
    <name>Navigation</name>
    <message>
        <source>状态信息</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>发布目录管理</source>
        <translation>Published folders</translation>
    </message>
    <message>
        <source>添加新的目录</source>
        <translation>Add a new folder</translation>
    </message>
    <message>
        <source>导出链接</source>
        <translation>Export links</translation>
    </message>
    <message>
        <source>连接监控</source>
        <translation>Connection monitor</translation>
    </message>
    <message>
        <source>选项设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>IP过滤</source>
        <translation>IP filter</translation>
    </message>
    <message>
        <source>帮助说明</source>
        <translation>Help</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CAddDirProgressDlg</name>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CMainFrame</name>
    <message>
        <source>域名: %1</source>
        <translation>Domain: %1</translation>
    </message>
    <message>
        <source>    服务状态：已启动</source>
        <translation>    Service: started</translation>
    </message>
    <message>
        <source>    服务状态：未启动</source>
        <translation>    Service: not started</translation>
    </message>
    <message>
        <source>上传：</source>
        <translation>Upload: </translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTChangeMasterIDDlg</name>
    <message>
        <source>更换ID</source>
        <translation>Change ID</translation>
    </message>
    <message>
        <source>当前ID：</source>
        <translation>Current ID:</translation>
    </message>
    <message>
        <source>新ID：</source>
        <translation>New ID:</translation>
    </message>
    <message>
        <source>注：请正确输入您的18位ID。</source>
        <translation>Note: please enter your 18-digit ID correctly.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>新ID格式有误，请重新输入。</source>
        <translation>The new ID is not valid. Please enter it again.</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTConfigSettingView</name>
    <message>
        <source>IP设置</source>
        <translation>IP settings</translation>
    </message>
    <message>
        <source>按IP访问本机：</source>
        <translation>Reach this computer by IP:</translation>
    </message>
    <message>
        <source>按域名访问本机：</source>
        <translation>Reach this computer by domain:</translation>
    </message>
    <message>
        <source>本机IP</source>
        <translation>Local IP</translation>
    </message>
    <message>
        <source>保存设置</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>注意：修改此项后，所有已发布视频播放地址中的服务器IP将会自动更新，请用新的播放地址替换原来的播放地址。</source>
        <translation>Note: after a change here, the server address in the play links of all published videos is updated. Replace the old play links with the new ones.</translation>
    </message>
    <message>
        <source>连接设置</source>
        <translation>Connection settings</translation>
    </message>
    <message>
        <source>单位：千比特每秒（Kb/s，1 Kb/s = 1024 比特/秒 = 128 字节/秒）；0 表示无限制</source>
        <translation>Unit: kilobits per second (Kb/s, 1 Kb/s = 1024 bits/s = 128 bytes/s); 0 means no limit</translation>
    </message>
    <message>
        <source>全局上传限速：</source>
        <translation>Upload limit:</translation>
    </message>
    <message>
        <source>Kb/s （0表示无限制）</source>
        <translation>Kb/s (0 means no limit)</translation>
    </message>
    <message>
        <source>全局连接数限制：</source>
        <translation>Connection limit:</translation>
    </message>
    <message>
        <source>个 （0表示无限制）</source>
        <translation>connections (0 means no limit)</translation>
    </message>
    <message>
        <source>恢复当前值</source>
        <translation>Restore current values</translation>
    </message>
    <message>
        <source>端口设置</source>
        <translation>Port settings</translation>
    </message>
    <message>
        <source>传输端口:</source>
        <translation>Peer port:</translation>
    </message>
    <message>
        <source>协议端口:</source>
        <translation>List port:</translation>
    </message>
    <message>
        <source>注意：请使用以上两个默认端口，此端口是服务必须的；如因端口冲突而更改了端口，则已发布视频的播放地址将失效，您需要用新的播放地址替换原来的播放地址。</source>
        <translation>Note: please keep the two default ports above; the service needs them. If you change a port because of a conflict, the play links of published videos stop working and you need to replace them with the new ones.</translation>
    </message>
    <message>
        <source>默认端口</source>
        <translation>Default ports</translation>
    </message>
    <message>
        <source>站长ID</source>
        <translation>Master ID</translation>
    </message>
    <message>
        <source>更换ID</source>
        <translation>Change ID</translation>
    </message>
    <message>
        <source>1、请妥善保存此ID，该ID将唯一标识站长身份，重装系统或更换电脑后，请延用此ID；</source>
        <translation>1. Keep this ID safe: it alone identifies you as the site master. Keep using it after reinstalling the system or changing computers.</translation>
    </message>
    <message>
        <source>2、更改站长ID后，请替换已发布影片的URL，以便您统计到该ID发布的所有影片的用户观看情况。</source>
        <translation>2. After changing the master ID, replace the URLs of the published videos so that the viewing figures of every video published under the ID are counted.</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTConnMonitorFormView</name>
    <message>
        <source>取消发布</source>
        <translation>Unpublish</translation>
    </message>
    <message>
        <source>连接监控</source>
        <translation>Connection monitor</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTDlgAddDir</name>
    <message>
        <source>添加视频目录</source>
        <translation>Add a video folder</translation>
    </message>
    <message>
        <source>选择一个文件夹</source>
        <translation>Choose a folder</translation>
    </message>
    <message>
        <source>浏览</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>发布目录下所有视频</source>
        <translation>Publish every video in the folder</translation>
    </message>
    <message>
        <source>只发布目录</source>
        <translation>Add the folder only</translation>
    </message>
    <message>
        <source>监视此目录，自动发布新增的视频</source>
        <translation>Watch this folder and publish new videos automatically</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>新目录：</source>
        <translation>New folder:</translation>
    </message>
    <message>
        <source> 不存在。</source>
        <translation> does not exist.</translation>
    </message>
    <message>
        <source>不能添加磁盘</source>
        <translation>A whole disk cannot be added</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTGuiderTree</name>
    <message>
        <source>发布此目录</source>
        <translation>Publish this folder</translation>
    </message>
    <message>
        <source>取消发布此目录</source>
        <translation>Unpublish this folder</translation>
    </message>
    <message>
        <source>导出链接</source>
        <translation>Export links</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open containing folder</translation>
    </message>
    <message>
        <source>监视此目录</source>
        <translation>Watch this folder</translation>
    </message>
    <message>
        <source>移除目录</source>
        <translation>Remove folder</translation>
    </message>
    <message>
        <source>添加新的目录</source>
        <translation>Add a new folder</translation>
    </message>
    <message>
        <source>导出所有视频链接</source>
        <translation>Export all video links</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>将在桌面创建视频URL文件</source>
        <translation>A file with the video URLs will be created on the desktop.</translation>
    </message>
    <message>
        <source>您确定取消发布整个目录吗?</source>
        <translation>Unpublish the whole folder?</translation>
    </message>
    <message>
        <source>移除的目录会被取消发布，您确定移除目录吗？</source>
        <translation>A removed folder is unpublished. Remove the folder?</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTIPFilterView</name>
    <message>
        <source>启用以下设置</source>
        <translation>Enable these settings</translation>
    </message>
    <message>
        <source>过滤类型：</source>
        <translation>Filter type:</translation>
    </message>
    <message>
        <source>允许以下IP访问（未列出的IP将被禁止）</source>
        <translation>Allow the IPs below (IPs not listed are refused)</translation>
    </message>
    <message>
        <source>禁止以下IP访问（未列出的IP将被允许）</source>
        <translation>Refuse the IPs below (IPs not listed are allowed)</translation>
    </message>
    <message>
        <source>过滤规则：</source>
        <translation>Filter rules:</translation>
    </message>
    <message>
        <source>起始IP地址</source>
        <translation>First IP address</translation>
    </message>
    <message>
        <source>结束IP地址（可与起始IP地址相同）</source>
        <translation>Last IP address (may equal the first)</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>IP段：10.0.0.0/8 或 1.2.3.0-1.2.3.255</source>
        <translation>IP range: 10.0.0.0/8 or 1.2.3.0-1.2.3.255</translation>
    </message>
    <message>
        <source>添加IP段</source>
        <translation>Add range</translation>
    </message>
    <message>
        <source>导入...</source>
        <translation>Import...</translation>
    </message>
    <message>
        <source>导出...</source>
        <translation>Export...</translation>
    </message>
    <message>
        <source>IP起始地址</source>
        <translation>First IP</translation>
    </message>
    <message>
        <source>IP结束地址</source>
        <translation>Last IP</translation>
    </message>
    <message>
        <source>允许列表：%1 条&#x3000;禁止列表：%2 条&#x3000;（当前使用：%3）</source>
        <translation>Allow list: %1 ranges   Deny list: %2 ranges   (in use: %3)</translation>
    </message>
    <message>
        <source>禁止列表</source>
        <translation>deny list</translation>
    </message>
    <message>
        <source>允许列表</source>
        <translation>allow list</translation>
    </message>
    <message>
        <source>IP段格式有误：</source>
        <translation>Invalid IP range: </translation>
    </message>
    <message>
        <source>导入IP列表</source>
        <translation>Import IP list</translation>
    </message>
    <message>
        <source>已添加 %1 条，%2 条已在列表中。</source>
        <translation>Added %1 ranges; %2 were in the list already.</translation>
    </message>
    <message>
        <source>数据库写入失败，未添加任何IP段。</source>
        <translation>Writing the database failed; no range was added.</translation>
    </message>
    <message>
        <source>导出IP列表</source>
        <translation>Export IP list</translation>
    </message>
    <message>
        <source>无法写入文件：</source>
        <translation>Cannot write the file: </translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTPublishFormView</name>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>已发布</source>
        <translation>Published</translation>
    </message>
    <message>
        <source>未发布</source>
        <translation>Not published</translation>
    </message>
    <message>
        <source>等待发布</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>发布失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>发布</source>
        <translation>Publish</translation>
    </message>
    <message>
        <source>取消发布</source>
        <translation>Unpublish</translation>
    </message>
    <message>
        <source>导出链接</source>
        <translation>Export links</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>打开文件夹</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>复制链接</source>
        <translation>Copy link</translation>
    </message>
    <message>
        <source>显示：</source>
        <translation>Show:</translation>
    </message>
    <message>
        <source>视频本地路径：</source>
        <translation>Local path:</translation>
    </message>
    <message>
        <source>视频链接路径：</source>
        <translation>Link:</translation>
    </message>
    <message>
        <source>发布视频</source>
        <translation>Publish video</translation>
    </message>
    <message>
        <source>导出视频链接</source>
        <translation>Export video links</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open containing folder</translation>
    </message>
    <message>
        <source>您确定取消发布整个目录吗?</source>
        <translation>Unpublish the whole folder?</translation>
    </message>
    <message>
        <source>您确定取消发布所选视频吗?</source>
        <translation>Unpublish the selected videos?</translation>
    </message>
    <message>
        <source>将在桌面创建视频URL文件</source>
        <translation>A file with the video URLs will be created on the desktop.</translation>
    </message>
    <message>
        <source>复制链接成功！</source>
        <translation>The link was copied.</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::CPWTStateInfoFormView</name>
    <message>
        <source>当前服务状态</source>
        <translation>Service</translation>
    </message>
    <message>
        <source>服务状态：</source>
        <translation>Service:</translation>
    </message>
    <message>
        <source>服务地址：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>启动服务</source>
        <translation>Start service</translation>
    </message>
    <message>
        <source>服务器状态</source>
        <translation>Server</translation>
    </message>
    <message>
        <source>连接速度：</source>
        <translation>Upload speed:</translation>
    </message>
    <message>
        <source>总上传量：</source>
        <translation>Uploaded:</translation>
    </message>
    <message>
        <source>Peer连接数：</source>
        <translation>Peer connections:</translation>
    </message>
    <message>
        <source>上传视频数：</source>
        <translation>Videos uploading:</translation>
    </message>
    <message>
        <source>缓存信息</source>
        <translation>Cache</translation>
    </message>
    <message>
        <source>读盘速度：</source>
        <translation>Disk read speed:</translation>
    </message>
    <message>
        <source>读盘总量：</source>
        <translation>Read from disk:</translation>
    </message>
    <message>
        <source>缓存命中率：</source>
        <translation>Cache hit rate:</translation>
    </message>
    <message>
        <source>上传设置</source>
        <translation>Upload settings</translation>
    </message>
    <message>
        <source>全局上传限速：</source>
        <translation>Upload limit:</translation>
    </message>
    <message>
        <source>全局连接数限制：</source>
        <translation>Connection limit:</translation>
    </message>
    <message>
        <source>上传模式：</source>
        <translation>Upload mode:</translation>
    </message>
    <message>
        <source>拒绝的连接</source>
        <translation>Refused connections</translation>
    </message>
    <message>
        <source>按原因：</source>
        <translation>By reason:</translation>
    </message>
    <message>
        <source>最近拒绝：</source>
        <translation>Last refused:</translation>
    </message>
    <message>
        <source>发布状态</source>
        <translation>Publishing</translation>
    </message>
    <message>
        <source>发布视频数：</source>
        <translation>Published videos:</translation>
    </message>
    <message>
        <source>目录下视频总数：</source>
        <translation>Videos in the folders:</translation>
    </message>
    <message>
        <source>磁盘信息</source>
        <translation>Disks</translation>
    </message>
    <message>
        <source>可用空间：</source>
        <translation>Free space:</translation>
    </message>
    <message>
        <source>磁盘总容量：</source>
        <translation>Total size:</translation>
    </message>
    <message>
        <source>上传速度（最近10分钟）</source>
        <translation>Upload speed (last 10 minutes)</translation>
    </message>
    <message>
        <source>启动</source>
        <translation>Started</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>停止服务</source>
        <translation>Stop service</translation>
    </message>
    <message>
        <source>（不限速）</source>
        <translation> (no limit)</translation>
    </message>
    <message>
        <source>（%1）</source>
        <translation> (%1)</translation>
    </message>
    <message>
        <source>禁止名单 %1，不在允许名单 %2，连接数上限 %3，单IP上限 %4</source>
        <translation>deny list %1, not on allow list %2, connection limit %3, per-IP limit %4</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::DesignedTexts</name>
    <message>
        <source>未发布</source>
        <translation>Not published</translation>
    </message>
    <message>
        <source>已发布</source>
        <translation>Published</translation>
    </message>
    <message>
        <source>正在发布</source>
        <translation>Publishing</translation>
    </message>
    <message>
        <source>等待发布</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>发布失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>只支持MP4、ZHD、GHD格式</source>
        <translation>Only MP4, ZHD and GHD are supported</translation>
    </message>
    <message>
        <source>文件格式破坏</source>
        <translation>Damaged file</translation>
    </message>
    <message>
        <source>不可发布的ZHD类型</source>
        <translation>ZHD type that cannot be published</translation>
    </message>
    <message>
        <source>备用限速</source>
        <translation>Alternative limit</translation>
    </message>
    <message>
        <source>备用限速（计划）</source>
        <translation>Alternative limit (scheduled)</translation>
    </message>
    <message>
        <source>已暂停上传</source>
        <translation>Upload paused</translation>
    </message>
    <message>
        <source>正常限速</source>
        <translation>Normal limit</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::PublishMediaModel</name>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>文件大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>发布状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>修改日期</source>
        <translation>Modified</translation>
    </message>
    <message>
        <source>发布日期</source>
        <translation>Published on</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::Startup</name>
    <message>
        <source>无法创建数据文件夹 %1: %2</source>
        <translation>Cannot create the data folder %1: %2</translation>
    </message>
    <message>
        <source>另一个Wharfkeep进程（%1）正在使用数据文件夹 %2。</source>
        <translation>Another Wharfkeep process (%1) is using the data folder %2.</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::TrayController</name>
    <message>
        <source>停止服务</source>
        <translation>Stop service</translation>
    </message>
    <message>
        <source>启动服务</source>
        <translation>Start service</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source> - 上传：</source>
        <translation> - upload: </translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::monitor::ConnectionListModel</name>
    <message>
        <source>IP/端口</source>
        <translation>IP/port</translation>
    </message>
    <message>
        <source>接收速度</source>
        <translation>Receive speed</translation>
    </message>
    <message>
        <source>总接收量</source>
        <translation>Received</translation>
    </message>
    <message>
        <source>持续连接时长</source>
        <translation>Connected for</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::monitor::ResourceListModel</name>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>文件大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>上传速度</source>
        <translation>Upload speed</translation>
    </message>
    <message>
        <source>当前连接数</source>
        <translation>Connections</translation>
    </message>
    <message>
        <source>总上传量</source>
        <translation>Uploaded</translation>
    </message>
    <message>
        <source>发布时间</source>
        <translation>Published on</translation>
    </message>
</context>
<context>
    <name>wharfkeep::ui::monitor::UploadSpeedGraph</name>
    <message>
        <source>-10分钟</source>
        <translation>-10 min</translation>
    </message>
    <message>
        <source>现在</source>
        <translation>now</translation>
    </message>
</context>
</TS>
